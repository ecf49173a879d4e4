// The last-error channel of the message functions, and the check that turns a FALSE into an error.
#include "crypto/LastError.h"
#include "platform/SystemErrors.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

using namespace plombar;

TEST(LastError, Win32CheckRaisesWithTheLastError) {
    setenv("LC_ALL", "C.UTF-8", 1);
    SetLastError(2);
    EXPECT_TRUE(Win32Check(true));
    try {
        Win32Check(false);
        FAIL() << "no error raised";
    } catch (const SystemError& e) {
        EXPECT_EQ(e.code(), 2u);
        EXPECT_EQ(e.message(), systemErrorText(2));
    }
    SetLastError(0);
    try {
        Win32Check(false);
        FAIL() << "no error raised";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "A call to an OS function failed");
    }
}

TEST(LastError, IsPerThread) {
    SetLastError(87);
    std::uint32_t seenInOtherThread = 1;
    std::thread([&] { seenInOtherThread = GetLastError(); }).join();
    EXPECT_EQ(seenInOtherThread, 0u);
    EXPECT_EQ(GetLastError(), 87u);
}
