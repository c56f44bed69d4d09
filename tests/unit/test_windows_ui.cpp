// The busy indicator on the real Windows user interface: the class, the hidden window and the
// tray record in its property, and the teardown that leaves no window, property or message.
#include <gtest/gtest.h>

#include <string.h>

#ifdef _WIN32

#include "feedback_windows.h"

namespace {

TEST(WindowsUi, TrayRecordIsTheFirst88ByteForm) {
    NOTIFYICONDATAA record;
    memset(&record, 0xAB, sizeof record);
    // A tip longer than the field, cut before a double-byte character would be split.
    char tip[80];
    memset(tip, 'x', 62);
    strcpy(tip + 62, "\x95\x5C" "tail");
    fill_tray_record(&record, (HWND)0x1234, 1, 0x8000, (HICON)0x5678, tip);
    const unsigned char *bytes = (const unsigned char *)&record;
    EXPECT_EQ(record.cbSize, 88u);
    EXPECT_EQ(record.hWnd, (HWND)0x1234);
    EXPECT_EQ(record.uID, 1u);
    EXPECT_EQ(record.uFlags, 7u);
    EXPECT_EQ(record.uCallbackMessage, 0x8000u);
    EXPECT_EQ(record.hIcon, (HICON)0x5678);
    EXPECT_EQ(strlen(record.szTip), 62u);
    EXPECT_EQ(bytes[88], 0xAB) << "nothing past the 88 bytes is touched";
}

TEST(WindowsUi, HiddenWindowOwnsTheTrayRecordUntilRemoved) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HWND window = show_tray_indicator(instance, TIP_AT_WORK);
    ASSERT_NE(window, nullptr);

    char text[64];
    GetClassNameA(window, text, sizeof text);
    EXPECT_STREQ(text, "tallybook");
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, "tallybook");
    EXPECT_FALSE(IsWindowVisible(window));
    // The system adds WS_CLIPSIBLINGS to every top-level window; the rest is as created.
    DWORD style = (DWORD)GetWindowLongA(window, GWL_STYLE) & ~(DWORD)WS_CLIPSIBLINGS;
    EXPECT_EQ(style & 0xFFFF0000u, 0xA0000000u);

    WNDCLASSEXA window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.cbSize = sizeof window_class;
    ASSERT_TRUE(GetClassInfoExA(instance, "tallybook", &window_class));
    EXPECT_EQ(window_class.style, 0u);
    EXPECT_EQ(window_class.hbrBackground, (HBRUSH)GetStockObject(NULL_BRUSH));
    EXPECT_EQ(window_class.hCursor, nullptr);

    const NOTIFYICONDATAA *record = (const NOTIFYICONDATAA *)GetPropA(window, "PROP_WAITICON");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->cbSize, 88u);
    EXPECT_EQ(record->hWnd, window);
    EXPECT_EQ(record->uID, 1u);
    EXPECT_EQ(record->uFlags, 7u);
    EXPECT_EQ(record->uCallbackMessage, 0x8000u);
    EXPECT_NE(record->hIcon, nullptr) << "icon 120 at 16x16 from the program's resources";
    EXPECT_EQ(strlen(TIP_AT_WORK), 22u);
    EXPECT_STREQ(record->szTip, TIP_AT_WORK);

    // Something waiting in the queue is dispatched by the drain, up to the quit message.
    PostMessageA(window, WM_APP + 1, 0, 0);
    remove_tray_indicator(window);
    EXPECT_FALSE(IsWindow(window));
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
}

TEST(WindowsUi, RemovingWithoutAWindowStillEnds) {
    remove_tray_indicator(nullptr);
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
}

}  // namespace

#endif
