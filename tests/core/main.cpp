// Runs every registered core test; prints one line per failing case and a closing count.
#include <cstdio>
#include <exception>

#include "check.hpp"

int main() {
    int passed = 0, failed = 0;
    for (const check::Case& test : check::registry()) {
        check::failures() = 0;
        try {
            test.body();
        } catch (const std::exception& error) {
            check::fail(__FILE__, __LINE__, std::string("exception: ") + error.what());
        }
        if (check::failures() == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED %s\n", test.name);
        }
    }
    std::printf("core: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
