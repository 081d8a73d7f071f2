// The CoInitializeEx stand-in: per-thread apartment membership.
#include <gtest/gtest.h>

#include <thread>

#include "win32.h"

namespace {

using namespace qelmo::platform;

// Each case runs on a fresh thread: membership is per thread and permanent.
template <class Body>
void on_new_thread(Body body) {
    std::thread thread(body);
    thread.join();
}

TEST(CoInitializeEx, FirstJoinThenAlreadyMember) {
    on_new_thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), mlabi::S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), mlabi::S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), mlabi::S_FALSE);
    });
}

TEST(CoInitializeEx, SingleThreadedApartmentRefusesMultiThreaded) {
    on_new_thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), mlabi::S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), mlabi::RPC_E_CHANGED_MODE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), mlabi::S_FALSE);
    });
}

TEST(CoInitializeEx, MultiThreadedApartmentRefusesSingleThreaded) {
    on_new_thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), mlabi::S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), mlabi::RPC_E_CHANGED_MODE);
    });
}

TEST(CoInitializeEx, MembershipIsPerThread) {
    on_new_thread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), mlabi::S_OK); });
    on_new_thread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), mlabi::S_OK); });
}

}  // namespace
