#pragma once
// Starting headless copies and waiting for what they print, for the integration tests.
#include <gtest/gtest.h>

#include "support/program_copy.h"
#include "support/wait_until.h"

namespace tc::test {

// Waits for the copy to print `text` after what was waited for before; a failure shows all the
// copy printed.
inline bool says(ProgramCopy& copy, const std::string& text, int timeoutMs = 10000) {
    if (copy.waitFor(text, timeoutMs)) return true;
    ADD_FAILURE() << "no [" << text << "]\n" << describe(copy);
    return false;
}

// Starts a copy with a port of its own and waits for its first prompt.
inline bool startCopy(ProgramCopy& copy, const std::string& id,
                      std::vector<std::string> options = {}, const std::string& password = "",
                      std::vector<int16_t> capture = {}) {
    CopySetup s;
    s.id = id;
    s.options = std::move(options);
    s.password = password;
    s.capture = std::move(capture);
    return copy.start(s) && says(copy, "> ");
}

} // namespace tc::test
