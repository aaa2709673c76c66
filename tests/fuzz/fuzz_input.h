// SPDX-License-Identifier: BSD-3-Clause
// Reads integers and doubles from a fuzzer's byte string, front to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tamrin_fuzz {

struct FuzzInput {
    const uint8_t* data;
    std::size_t size;

    // A value in [low, high] from one byte (low when the input is exhausted).
    int32_t pick(int32_t low, int32_t high) {
        if (size == 0) return low;
        const int32_t value = low + static_cast<int32_t>(data[0] % static_cast<uint32_t>(high - low + 1));
        data++;
        size--;
        return value;
    }

    // The next eight bytes as a double, any bit pattern (0.0 when exhausted).
    double real() {
        double value = 0.0;
        if (size >= sizeof(double)) {
            std::memcpy(&value, data, sizeof(double));
            data += sizeof(double);
            size -= sizeof(double);
        } else {
            size = 0;
        }
        return value;
    }
};

}  // namespace tamrin_fuzz
