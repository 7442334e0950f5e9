// Runs the library's tests in a network namespace of their own when the system allows it
// (unshare -n, as root), so that enumeration sees only the bus hosts that the tests start. Where
// it is not allowed, the tests run in the shared namespace and those that need isolation skip.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/vci/netns.h"

bool RunningIsolated() {
    const char* value = std::getenv("KORVANE_TEST_NETNS");
    return value != nullptr && std::string(value) == "1";
}

int main(int argc, char** argv) {
    if (std::getenv("KORVANE_TEST_NETNS") == nullptr) {
        const bool can_isolate =
            std::system("unshare -n sh -c 'ip link set lo up' >/dev/null 2>&1") == 0;
        setenv("KORVANE_TEST_NETNS", can_isolate ? "1" : "0", 1);
        if (can_isolate) {
            std::vector<char*> args = {
                const_cast<char*>("unshare"), const_cast<char*>("-n"), const_cast<char*>("sh"),
                const_cast<char*>("-c"),
                const_cast<char*>("ip link set lo up && exec \"$0\" \"$@\"")};
            for (int i = 0; i < argc; ++i) {
                args.push_back(argv[i]);
            }
            args.push_back(nullptr);
            execvp("unshare", args.data());
            setenv("KORVANE_TEST_NETNS", "0", 1);  // exec failed: run here
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
