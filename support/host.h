// Host services: the three things the denoising core needs from whatever runs it.
//
// The core prints text, obtains zero-filled blocks and releases them only through
// the functions below. A front end (the MEX gateway, the command line, a test)
// may install its own table of services; without one, the standalone services
// write to stderr and use calloc/free. Every service must accept calls from
// several threads at once: workers print and allocate concurrently.
#pragma once

#include <cstddef>

namespace tamrin {

struct HostServices {
    // Writes one message text unchanged (no format processing).
    void (*print)(const char* text);
    // Returns count * size zero bytes, or nullptr when they cannot be obtained.
    void* (*calloc)(std::size_t count, std::size_t size);
    // Releases a block obtained from calloc (nullptr is accepted and ignored).
    void (*free)(void* block);
};

// Installs a table for all later calls (nullptr restores the standalone one) and
// returns the previous table. The table must outlive its installation. Install
// only while no worker runs.
const HostServices* installHostServices(const HostServices* services);

// The calls the core makes.
void hostPrint(const char* text);
void* hostCalloc(std::size_t count, std::size_t size);
void hostFree(void* block);

}  // namespace tamrin
