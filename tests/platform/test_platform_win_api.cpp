// The general Win32 stand-ins: last error, GUID text, local memory, events and waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kernel_object.h"
#include "win_api.h"

using namespace hv::win;
using Clock = std::chrono::steady_clock;

namespace {

TEST(WinApi, LastErrorIsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    uint32_t other = 1;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(WinApi, ClsidFromStringParsesTheBracedForm) {
    GUID g{};
    ASSERT_EQ(CLSIDFromString(u"{c15b4308-04d3-11e6-b3ea-6057189e6443}", &g), S_OK);
    EXPECT_EQ(g, hv::usb::kGsUsbInterfaceGuid);
    ASSERT_EQ(CLSIDFromString(u"{C15B4308-04D3-11E6-B3EA-6057189E6443}", &g), S_OK);
    EXPECT_EQ(g, hv::usb::kGsUsbInterfaceGuid);
    for (const char16_t* bad : {u"", u"c15b4308-04d3-11e6-b3ea-6057189e6443",
                                u"{c15b4308-04d3-11e6-b3ea-6057189e644}", u"{c15b4308-04d3-11e6-b3ea-6057189e64430}",
                                u"{c15b4308x04d3-11e6-b3ea-6057189e6443}", u"{g15b4308-04d3-11e6-b3ea-6057189e6443}"})
        EXPECT_EQ(CLSIDFromString(bad, &g), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(nullptr, &g), CO_E_CLASSSTRING);
}

TEST(WinApi, LocalAllocZeroesOnRequest) {
    auto* p = static_cast<unsigned char*>(LocalAlloc(LPTR, 4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(LocalFree(p), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(WinApi, WaitReturnsTheLowestSignalledEvent) {
    const std::size_t before = live_handle_count();
    HANDLE e[3];
    for (auto& h : e) {
        h = CreateEventW(nullptr, true, false, nullptr);
        ASSERT_NE(h, nullptr);
    }
    EXPECT_EQ(live_handle_count(), before + 3);
    EXPECT_EQ(WaitForMultipleObjects(3, e, false, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(e[2]));
    ASSERT_TRUE(SetEvent(e[1]));
    EXPECT_EQ(WaitForMultipleObjects(3, e, false, 0), WAIT_OBJECT_0 + 1);
    // Manual-reset events stay set until reset.
    EXPECT_EQ(WaitForMultipleObjects(3, e, false, 0), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(ResetEvent(e[1]));
    EXPECT_EQ(WaitForMultipleObjects(3, e, false, 0), WAIT_OBJECT_0 + 2);
    // Wait for all only when all are set.
    EXPECT_EQ(WaitForMultipleObjects(3, e, true, 0), WAIT_TIMEOUT);
    SetEvent(e[0]);
    SetEvent(e[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, e, true, 0), WAIT_OBJECT_0);
    for (auto h : e) EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(live_handle_count(), before);
}

TEST(WinApi, AutoResetEventWakesOneWait) {
    HANDLE e = CreateEventW(nullptr, false, true, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(1, &e, false, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(1, &e, false, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(WinApi, WaitTimesOutAndWakesOnAnotherThreadsSignal) {
    HANDLE e = CreateEventW(nullptr, true, false, nullptr);
    auto t0 = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(1, &e, false, 30), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(30));

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(e);
    });
    t0 = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(1, &e, false, INFINITE), WAIT_OBJECT_0);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
    setter.join();
    CloseHandle(e);
}

TEST(WinApi, BadHandlesAndCountsFailTheWait) {
    HANDLE e = CreateEventW(nullptr, true, false, nullptr);
    HANDLE list[2] = {e, nullptr};
    EXPECT_EQ(WaitForMultipleObjects(2, list, false, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForMultipleObjects(0, list, false, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(65, list, false, 0), WAIT_FAILED);
    EXPECT_TRUE(CloseHandle(e));
    // A closed handle is refused, not followed.
    EXPECT_EQ(WaitForMultipleObjects(1, &e, false, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(CreateEventW(nullptr, true, false, u"named"), nullptr);
}

TEST(WinApi, CreateFileRefusesUnknownPaths) {
    EXPECT_EQ(CreateFileW(u"/no/such/file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(WinApi, Utf16RoundTrip) {
    const std::string text = "\\\\?\\usb#vid_1d50 \xE4\xB8\xAD \xF0\x9F\x98\x80";
    const std::u16string wide = to_utf16(text);
    EXPECT_EQ(to_utf8(wide.c_str()), text);
}

}  // namespace
