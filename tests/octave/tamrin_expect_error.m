function err = tamrin_expect_error(call, identifier, fragment)
% Runs call (a function handle), which must raise an error with the given
% identifier whose message contains fragment. Returns the error.
  try
    call();
  catch err
    assert(strcmp(err.identifier, identifier), 'expected %s for %s, got %s: %s', ...
           identifier, func2str(call), err.identifier, err.message);
    assert(~isempty(strfind(err.message, fragment)), 'message for %s lacks "%s": %s', ...
           func2str(call), fragment, err.message);
    return;
  end
  error('no error from %s (expected %s)', func2str(call), identifier);
end
% SPDX-License-Identifier: BSD-3-Clause
