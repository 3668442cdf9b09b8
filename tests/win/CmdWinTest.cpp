// The command window driven through its controls' messages under a hidden parent that
// records what the window posts.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "GdiObjectCount.h"
#include "ToolWindowHarness.h"
#include "tools/win32/CmdWin.h"

namespace {

using namespace toolharness;

// The recording parent stands in for the main window and the board: each line it is handed
// is queued at once and, when Answering, answered with "OK" and the prompt.
size_t LinesTaken;
bool Answering = true;

void Pump() {
    for (;;) {
        toolharness::Pump(CmdWinDialogBoxMsg);
        const std::vector<Posted>& posted = PostedToParent();
        if (LinesTaken >= posted.size())
            return;
        for (; LinesTaken < posted.size(); LinesTaken++) {
            if (posted[LinesTaken].message != WM_USER_COMMAND)
                continue;
            const void* text = reinterpret_cast<const void*>(posted[LinesTaken].lParam);
            size_t size = 0;
            char* result = CmdWinResultSlot(text, &size);
            if (!result)
                continue;
            CmdWinLineQueued(text, 1);
            if (!Answering)
                continue;
            snprintf(result, size, "OK\r\n");
            CmdWinReply(result);
        }
    }
}

std::string TextOf(HWND window) {
    std::vector<char> text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1);
    GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
    return text.data();
}

const char INITIAL_OUTPUT[] = "11111\r\n22222\r\n";

class CmdWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        parent = CreateRecordingParent();
        ASSERT_NE(parent, nullptr);
        CmdWinLinkUp();
        Answering = false;
        ASSERT_TRUE(Open());
        PostedToParent().clear();
        LinesTaken = 0;
    }
    void TearDown() override {
        if (IsWindow(window))
            DestroyWindow(window);
        DestroyWindow(parent);
        Pump();
        CmdWinConnectionEnded();
    }
    bool Open() {
        window = CreateCmdWin(parent, 0, "Test Command Window", 20, 20, 400, 300,
                              GetModuleHandleA(nullptr));
        Pump();
        output = window ? GetDlgItem(window, IDC_CMD_OUTPUT) : nullptr;
        entry = window ? GetDlgItem(window, IDC_CMD_ENTRY) : nullptr;
        return output && entry;
    }
    // Replaces the entry's text the way a paste does, raising EN_CHANGE (WM_SETTEXT does not
    // notify for a multi-line edit).
    void Type(const std::string& text) {
        SendMessageA(entry, EM_SETSEL, 0, -1);
        SendMessageA(entry, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
    }
    std::vector<std::string> CommandsPosted() {
        std::vector<std::string> commands;
        for (const auto& p : PostedToParent())
            if (p.message == WM_USER_COMMAND)
                commands.push_back(p.text);
        return commands;
    }

    HWND parent = nullptr;
    HWND window = nullptr;
    HWND output = nullptr;
    HWND entry = nullptr;
};

TEST_F(CmdWindow, OpensAsAnOwnedSizablePopupWithTheStartText) {
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    EXPECT_STREQ(className, "CmdWin");
    LONG style = GetWindowLongA(window, GWL_STYLE);
    const LONG expected = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
    EXPECT_EQ(style & expected, expected);
    EXPECT_EQ(GetWindow(window, GW_OWNER), parent);
    EXPECT_EQ(TextOf(output), INITIAL_OUTPUT);
    EXPECT_EQ(TextOf(entry), "");
    EXPECT_TRUE(GetWindowLongA(output, GWL_STYLE) & ES_READONLY);
    EXPECT_EQ(GetFocus(), entry);
}

TEST_F(CmdWindow, LayoutPutsTheEntryUnderTheOutputAfterThePrompt) {
    RECT client, outputRect, entryRect;
    GetClientRect(window, &client);
    GetWindowRect(output, &outputRect);
    GetWindowRect(entry, &entryRect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&outputRect), 2);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&entryRect), 2);
    TEXTMETRICA metrics;
    HDC dc = GetDC(output);
    GetTextMetricsA(dc, &metrics);
    ReleaseDC(output, dc);
    SIZE prompt;
    dc = GetDC(window);
    GetTextExtentPoint32A(dc, "CMD: ", 5, &prompt);
    ReleaseDC(window, dc);
    int entryHeight = metrics.tmHeight + 4;
    EXPECT_EQ(outputRect.left, 0);
    EXPECT_EQ(outputRect.top, 0);
    EXPECT_EQ(outputRect.right, client.right);
    EXPECT_EQ(outputRect.bottom, client.bottom - entryHeight);
    EXPECT_EQ(entryRect.left, prompt.cx + 5);
    EXPECT_EQ(entryRect.top, client.bottom - entryHeight);
    EXPECT_EQ(entryRect.right, client.right);
    EXPECT_EQ(entryRect.bottom, client.bottom);
    // A new size lays the panes out again.
    SetWindowPos(window, nullptr, 0, 0, 500, 200, SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    GetClientRect(window, &client);
    GetWindowRect(entry, &entryRect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&entryRect), 2);
    EXPECT_EQ(entryRect.right, client.right);
    EXPECT_EQ(entryRect.bottom, client.bottom);
}

TEST_F(CmdWindow, EnteredLineIsPostedEchoedAndCleared) {
    Type("V5\r\n");
    Pump();
    ASSERT_EQ(PostedToParent().size(), 1u);
    EXPECT_EQ(PostedToParent()[0].message, WM_USER_COMMAND);
    EXPECT_EQ(PostedToParent()[0].wParam, 0u);
    EXPECT_EQ(PostedToParent()[0].text, "V5\r\n");
    EXPECT_EQ(TextOf(output), std::string(INITIAL_OUTPUT) + "V5\r\n");
    EXPECT_EQ(TextOf(entry), "");
}

TEST_F(CmdWindow, TypedKeysSendTheLineOnEnter) {
    for (WPARAM key : {WPARAM('S'), WPARAM('5'), WPARAM('4')})
        PostMessageA(entry, WM_CHAR, key, 0);
    Pump();
    EXPECT_TRUE(CommandsPosted().empty()) << "still typing";
    EXPECT_EQ(TextOf(entry), "S54");
    // The key goes through the filter, whose translation makes the '\r' character.
    PostMessageA(entry, WM_KEYDOWN, VK_RETURN, 0);
    Pump();
    EXPECT_EQ(CommandsPosted(), std::vector<std::string>{"S54\r\n"});
    EXPECT_EQ(TextOf(entry), "");
}

TEST_F(CmdWindow, PasteWithoutLineBreakWaitsForEnter) {
    SendMessageA(entry, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>("G4"));
    Pump();
    EXPECT_TRUE(PostedToParent().empty());
    EXPECT_EQ(TextOf(entry), "G4");
    EXPECT_EQ(TextOf(output), INITIAL_OUTPUT);
    SendMessageA(entry, EM_SETSEL, 2, 2);
    SendMessageA(entry, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>("\r\n"));
    Pump();
    EXPECT_EQ(CommandsPosted(), std::vector<std::string>{"G4\r\n"});
}

TEST_F(CmdWindow, LongestLineThatFitsTheQueueIsSentWhole) {
    std::string line = std::string(253, 'A') + "\r\n";
    Type(line);
    Pump();
    EXPECT_EQ(CommandsPosted(), std::vector<std::string>{line});
}

TEST_F(CmdWindow, OverlongLineIsRefusedWithANoticeAndNothingOverwritten) {
    std::string typed(300, 'B');
    Type(typed + "\r\n");
    Pump();
    EXPECT_TRUE(PostedToParent().empty());
    std::string shown = TextOf(output);
    ASSERT_GT(shown.size(), sizeof INITIAL_OUTPUT - 1);
    std::string notice = shown.substr(sizeof INITIAL_OUTPUT - 1);
    EXPECT_NE(notice.find("300"), std::string::npos) << notice;
    EXPECT_EQ(notice.find('B'), std::string::npos) << "the refused line is not echoed";
    EXPECT_EQ(TextOf(entry), typed) << "left for the operator to shorten";
    // Shortened to 253 characters and entered again, it goes out.
    std::string shorter = typed.substr(0, 253) + "\r\n";
    Type(shorter);
    Pump();
    EXPECT_EQ(CommandsPosted(), std::vector<std::string>{shorter});
}

TEST_F(CmdWindow, ALineTypedWithoutAConnectionIsRefusedWithANotice) {
    CmdWinConnectionEnded();
    Type("V5\r\n  \r\nS54\r\n");
    Pump();
    EXPECT_TRUE(CommandsPosted().empty());
    EXPECT_EQ(TextOf(output), std::string(INITIAL_OUTPUT) +
                                  "Not connected: V5 not sent\r\nNot connected: S54 not sent\r\n");
    EXPECT_EQ(TextOf(entry), "");
    // Nothing was kept to go out behind the operator's back once a board is connected.
    CmdWinLinkUp();
    Pump();
    EXPECT_TRUE(CommandsPosted().empty());
}

TEST_F(CmdWindow, AnOverlongLineInAPasteStopsItAloneAndLosesNothing) {
    Answering = true;
    const std::string longLine = "S54=" + std::string(296, 'L');
    Type("V1\r\n" + longLine + "\r\nV2\r\nV3\r\n");
    Pump();
    EXPECT_EQ(CommandsPosted(), std::vector<std::string>{"V1\r\n"});
    EXPECT_EQ(TextOf(entry), longLine) << "the refused line alone, whole";
    DWORD start = 0, end = 0;
    SendMessageA(entry, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(end, longLine.size()) << "the caret in it";
    // Keys typed at the caret neither repeat the notice nor wedge the entry.
    for (WPARAM key : {WPARAM('X'), WPARAM('Y')})
        PostMessageA(entry, WM_CHAR, key, 0);
    Pump();
    EXPECT_EQ(TextOf(entry), longLine + "XY");
    // The operator replaces it by a short command: it goes, then what the paste held after it.
    Type("S54\r\n");
    Pump();
    EXPECT_EQ(CommandsPosted(),
              (std::vector<std::string>{"V1\r\n", "S54\r\n", "V2\r\n", "V3\r\n"}));
    EXPECT_EQ(TextOf(entry), "");
    std::string shown = TextOf(output);
    size_t notices = 0;
    for (size_t at = shown.find("not sent"); at != std::string::npos;
         at = shown.find("not sent", at + 1))
        notices++;
    EXPECT_EQ(notices, 1u) << shown;
    EXPECT_NE(shown.find("V1\r\nOK\r\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("S54\r\nOK\r\nV2\r\nOK\r\nV3\r\nOK\r\n"), std::string::npos) << shown;
}

TEST_F(CmdWindow, OutputBeyondItsLimitDropsLeadingLines) {
    // 14 start characters + 2994 lines of 10 + 36 = 29990 characters.
    std::string bulk;
    for (int i = 0; i < 2994; i++)
        bulk += "ABCDEFGH\r\n";
    bulk += std::string(34, 'C') + "\r\n";
    AppendTextToOutputWindow(bulk.c_str());
    ASSERT_EQ(TextOf(output).size(), 29990u);
    // 29990 + 20 + 1 is 11 over: "11111\r" counts 6, "22222\r" 5 more of the 11, so
    // both start lines go and the bulk plus the reply remain.
    const std::string replyText = "V5 reply text 123>\r\n";
    ASSERT_EQ(replyText.size(), 20u);
    AppendTextToOutputWindow(replyText.c_str());
    std::string shown = TextOf(output);
    EXPECT_EQ(shown, bulk + replyText);
    LRESULT lines = SendMessageA(output, EM_GETLINECOUNT, 0, 0);
    LRESULT firstVisible = SendMessageA(output, EM_GETFIRSTVISIBLELINE, 0, 0);
    EXPECT_GT(firstVisible, lines - 40) << "scrolled down to the new reply";
}

TEST_F(CmdWindow, ClosingDestroysAndReopeningStartsAfresh) {
    Type("V1\r\n");
    Pump();
    PostedToParent().clear();
    SendMessageA(window, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(PostedToParent().empty());
    MSG message = {};
    EXPECT_FALSE(CmdWinDialogBoxMsg(&message));
    AppendTextToOutputWindow("late reply\r\n"); // a reply after closing goes nowhere
    ASSERT_TRUE(Open());
    EXPECT_EQ(TextOf(output), INITIAL_OUTPUT);
    EXPECT_EQ(TextOf(entry), "");
}

TEST_F(CmdWindow, OpenUseCloseCyclesLeaveNoGdiObjectsBehind) {
    auto cycle = [this] {
        Type("V5\r\n");
        AppendTextToOutputWindow("50.000000\r\n");
        SetWindowPos(window, nullptr, 0, 0, 300, 150, SWP_NOMOVE | SWP_NOZORDER);
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Pump();
        SendMessageA(window, WM_CLOSE, 0, 0);
        Pump();
    };
    cycle(); // the first round fills the caches of fonts and stock objects
    ASSERT_TRUE(Open());
    unsigned long before = GdiObjectCount();
    for (int i = 0; i < 3; i++) {
        cycle();
        ASSERT_TRUE(Open());
    }
    EXPECT_EQ(GdiObjectCount(), before);
}

} // namespace
