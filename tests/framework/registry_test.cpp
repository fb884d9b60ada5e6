// Tests of framework/registry.h and framework/registry.cpp: the registry object
// on the real registry under a test-only key of the current user, and
// through a table of scripted registry functions.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "framework/registry.h"

using fw::ERegistryException;
using fw::TRegDataInfo;
using fw::TRegistry;
using fw::TRegistryApi;

namespace {

// A key of its own below HKEY_CURRENT_USER, removed with everything under it.
struct Registry : testing::Test {
    const std::wstring path = L"Software\\nrFrameworkTest\\Registry" + std::to_wstring(GetCurrentProcessId());
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()); }
    bool KeyExists(const std::wstring& p) {
        HKEY k;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, p.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
        RegCloseKey(k);
        return true;
    }
    void SetRaw(const std::wstring& name, DWORD type, const void* data, DWORD size) {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(k);
    }
};

// Scripted functions: the real ones, counted, with failures on request.
int gOpened = 0, gClosed = 0;
LONG gCreateStatus = ERROR_SUCCESS, gSetStatus = ERROR_SUCCESS;

LSTATUS WINAPI CountingCreate(HKEY r, LPCWSTR s, DWORD z, LPWSTR c, DWORD o, REGSAM a, LPSECURITY_ATTRIBUTES sa,
                              PHKEY k, LPDWORD d) {
    if (gCreateStatus != ERROR_SUCCESS) return gCreateStatus;
    LSTATUS rc = RegCreateKeyExW(r, s, z, c, o, a, sa, k, d);
    gOpened += rc == ERROR_SUCCESS;
    return rc;
}
LSTATUS WINAPI CountingClose(HKEY k) {
    ++gClosed;
    return RegCloseKey(k);
}
LSTATUS WINAPI ScriptedSet(HKEY k, LPCWSTR n, DWORD r, DWORD t, const BYTE* d, DWORD s) {
    if (gSetStatus != ERROR_SUCCESS) return gSetStatus;
    return RegSetValueExW(k, n, r, t, d, s);
}

TRegistryApi Scripted() {
    gOpened = gClosed = 0;
    gCreateStatus = gSetStatus = ERROR_SUCCESS;
    TRegistryApi api;
    api.RegCreateKeyExW = &CountingCreate;
    api.RegCloseKey = &CountingClose;
    api.RegSetValueExW = &ScriptedSet;
    return api;
}

}  // namespace

TEST_F(Registry, BinaryValueRoundTripAndQueries) {
    const std::array<std::uint8_t, 5> data{0x00, 0xFF, 0x10, 0x00, 0x7F};
    {
        TRegistry reg(HKEY_CURRENT_USER);
        EXPECT_FALSE(reg.OpenKey(path, false));  // missing, not created
        EXPECT_FALSE(KeyExists(path));
        ASSERT_TRUE(reg.OpenKey(L"\\" + path, true));  // a leading backslash is accepted
        EXPECT_NE(reg.CurrentKey(), nullptr);
        EXPECT_FALSE(reg.ValueExists(L"v"));
        EXPECT_EQ(reg.GetDataSize(L"v"), -1);
        reg.WriteBinaryData(L"v", data.data(), data.size());
        reg.WriteBinaryData(L"empty", nullptr, 0);
    }
    TRegistry reg(HKEY_CURRENT_USER, KEY_READ);
    ASSERT_TRUE(reg.OpenKeyReadOnly(path));
    EXPECT_TRUE(reg.ValueExists(L"v"));
    EXPECT_EQ(reg.GetDataSize(L"v"), 5);
    TRegDataInfo info;
    ASSERT_TRUE(reg.GetDataInfo(L"v", info));
    EXPECT_EQ(info.Type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(info.Size, 5u);
    std::array<std::uint8_t, 8> back{};
    EXPECT_EQ(reg.ReadBinaryData(L"v", back.data(), back.size()), 5u);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), 5), 0);
    EXPECT_EQ(reg.GetDataSize(L"empty"), 0);
    EXPECT_EQ(reg.ReadBinaryData(L"empty", back.data(), back.size()), 0u);
}

TEST_F(Registry, ReadsThatCannotSucceedRaiseAndLeaveTheBufferAlone) {
    const std::wstring text = L"not binary data";
    SetRaw(L"text", REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
    const std::array<std::uint8_t, 6> six{1, 2, 3, 4, 5, 6};
    SetRaw(L"six", REG_BINARY, six.data(), six.size());

    TRegistry reg(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKeyReadOnly(path));
    std::array<std::uint8_t, 40> buf;
    buf.fill(0xAA);
    const auto untouched = buf;
    for (const wchar_t* name : {L"text", L"missing"}) {
        EXPECT_THROW(reg.ReadBinaryData(name, buf.data(), buf.size()), ERegistryException) << fw::NarrowUtf8(name);
    }
    try {
        reg.ReadBinaryData(L"six", buf.data(), 5);  // does not fit
        ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<std::uint32_t>(ERROR_MORE_DATA));
        EXPECT_NE(e.Message().find(L"\"six\""), std::wstring::npos);
    }
    EXPECT_EQ(buf, untouched);
    // A key opened read-only cannot be written.
    EXPECT_THROW(reg.WriteBinaryData(L"six", six.data(), six.size()), ERegistryException);
}

TEST_F(Registry, KeysAreClosedWithTheObjectAndWhenReplaced) {
    const TRegistryApi api = Scripted();
    {
        TRegistry reg(HKEY_CURRENT_USER, KEY_READ | KEY_WRITE, api);
        ASSERT_TRUE(reg.OpenKey(path, true));
        ASSERT_TRUE(reg.OpenKey(path + L"\\sub", true));  // the first key is closed
        EXPECT_EQ(gClosed, 1);
        reg.SetRootKey(HKEY_LOCAL_MACHINE);  // so is the second
        EXPECT_EQ(gClosed, 2);
        EXPECT_EQ(reg.CurrentKey(), nullptr);
        reg.SetRootKey(HKEY_CURRENT_USER);
        ASSERT_TRUE(reg.OpenKey(path, true));
        reg.CloseKey();
        reg.CloseKey();  // closing twice closes once
        EXPECT_EQ(gClosed, 3);
        ASSERT_TRUE(reg.OpenKey(path, true));
    }
    EXPECT_EQ(gOpened, 4);
    EXPECT_EQ(gClosed, 4);
    EXPECT_TRUE(KeyExists(path + L"\\sub"));
}

TEST_F(Registry, FailuresOfTheFunctionsInUseAreReported) {
    const TRegistryApi api = Scripted();
    TRegistry reg(HKEY_CURRENT_USER, KEY_READ | KEY_WRITE, api);
    gCreateStatus = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(reg.OpenKey(path, true));
    EXPECT_EQ(reg.CurrentKey(), nullptr);
    EXPECT_FALSE(KeyExists(path));

    gCreateStatus = ERROR_SUCCESS;
    ASSERT_TRUE(reg.OpenKey(path, true));
    gSetStatus = ERROR_ACCESS_DENIED;
    const std::uint8_t b = 1;
    try {
        reg.WriteBinaryData(L"v", &b, 1);
        ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    }
    EXPECT_FALSE(reg.ValueExists(L"v"));
}
