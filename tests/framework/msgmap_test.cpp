// Message maps: a derived class's map is searched before its base's, each
// handler is called with its own signature, and what no map handles, or what
// a handler hands on with Default(), reaches the default handling with the
// message's own arguments.
#include "framework/afxwin.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr UINT kBaseOnly = WM_APP + 1;
constexpr UINT kShared = WM_APP + 2;
constexpr UINT kForwarded = WM_APP + 3;
constexpr UINT kNested = WM_APP + 4;
constexpr UINT kUnmapped = WM_APP + 5;
constexpr int kApply = 300;
constexpr int kName = 301;

struct Seen {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  bool operator==(const Seen&) const = default;
};

class BaseWnd : public CWnd {
 public:
  std::vector<std::string> calls;
  std::vector<Seen> defaults;  // what reached the default handling

  LRESULT OnBaseOnly(WPARAM w, LPARAM l) {
    calls.push_back("base-only " + std::to_string(w) + " " + std::to_string(l));
    return 11;
  }
  LRESULT OnShared(WPARAM, LPARAM) {
    calls.push_back("base shared");
    return 12;
  }
  void OnApply() { calls.push_back("base apply"); }

 protected:
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    defaults.push_back({message, wParam, lParam});
    return 77;
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BaseWnd, CWnd)
  ON_MESSAGE(kBaseOnly, OnBaseOnly)
  ON_MESSAGE(kShared, OnShared)
  ON_BN_CLICKED(kApply, OnApply)
END_MESSAGE_MAP()

class DerivedWnd : public BaseWnd {
 public:
  LRESULT OnShared(WPARAM, LPARAM) {
    calls.push_back("derived shared");
    return 21;
  }
  LRESULT OnForwarded(WPARAM, LPARAM) {
    calls.push_back("forwarded");
    return Default();
  }
  // Handles another message first; Default() still means this one.
  LRESULT OnNested(WPARAM, LPARAM) {
    SendMessage(kUnmapped, 3, 4);
    return Default();
  }
  void OnNameEdited() { calls.push_back("name edited"); }
  void OnTimer(UINT id) { calls.push_back("timer " + std::to_string(id)); }
  void OnSysCommand(UINT id, LPARAM l) { calls.push_back("syscommand " + std::to_string(id) + " " + std::to_string(l)); }
  LRESULT DefaultOutsideAnyMessage() { return Default(); }

 protected:
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedWnd, BaseWnd)
  ON_MESSAGE(kShared, OnShared)
  ON_MESSAGE(kForwarded, OnForwarded)
  ON_MESSAGE(kNested, OnNested)
  ON_CBN_EDITCHANGE(kName, OnNameEdited)
  ON_WM_TIMER()
  ON_WM_SYSCOMMAND()
END_MESSAGE_MAP()

LRESULT Command(CWnd& wnd, int id, int code) { return wnd.SendMessage(WM_COMMAND, MAKEWPARAM(id, code), 0); }

TEST(MessageMap, DerivedEntriesComeFirstAndTheBaseMapServesTheRest) {
  DerivedWnd wnd;
  EXPECT_EQ(wnd.SendMessage(kShared), 21);
  EXPECT_EQ(wnd.SendMessage(kBaseOnly, 5, 6), 11);
  Command(wnd, kApply, BN_CLICKED);
  EXPECT_EQ(wnd.calls, (std::vector<std::string>{"derived shared", "base-only 5 6", "base apply"}));
  EXPECT_TRUE(wnd.defaults.empty());

  BaseWnd base;  // the base alone knows nothing of the derived entries
  EXPECT_EQ(base.SendMessage(kShared), 12);
  EXPECT_EQ(base.SendMessage(kForwarded, 1, 2), 77);
  EXPECT_EQ(base.defaults, (std::vector<Seen>{{kForwarded, 1, 2}}));
}

TEST(MessageMap, CommandsMatchBothTheControlAndTheNotification) {
  DerivedWnd wnd;
  Command(wnd, kName, CBN_EDITCHANGE);
  Command(wnd, kName, BN_CLICKED);      // no entry for a click on the name
  Command(wnd, kApply, CBN_EDITCHANGE); // nor for an edit of the button
  Command(wnd, kApply + 10, BN_CLICKED);
  EXPECT_EQ(wnd.calls, (std::vector<std::string>{"name edited"}));
  EXPECT_EQ(wnd.defaults, (std::vector<Seen>{{WM_COMMAND, MAKEWPARAM(kName, BN_CLICKED), 0},
                                             {WM_COMMAND, MAKEWPARAM(kApply, CBN_EDITCHANGE), 0},
                                             {WM_COMMAND, MAKEWPARAM(kApply + 10, BN_CLICKED), 0}}));
}

TEST(MessageMap, EachHandlerGetsItsOwnArguments) {
  DerivedWnd wnd;
  wnd.SendMessage(WM_TIMER, 7, 0);
  wnd.SendMessage(WM_SYSCOMMAND, 0xF120, 42);
  EXPECT_EQ(wnd.calls, (std::vector<std::string>{"timer 7", "syscommand 61728 42"}));
}

TEST(MessageMap, UnhandledMessagesAndDefaultReachTheDefaultHandling) {
  DerivedWnd wnd;
  EXPECT_EQ(wnd.SendMessage(kUnmapped, 3, 4), 77);
  EXPECT_EQ(wnd.SendMessage(kForwarded, 8, 9), 77);  // Default()'s result is the handler's
  EXPECT_EQ(wnd.calls, (std::vector<std::string>{"forwarded"}));
  EXPECT_EQ(wnd.defaults, (std::vector<Seen>{{kUnmapped, 3, 4}, {kForwarded, 8, 9}}));
}

TEST(MessageMap, DefaultMeansTheMessageBeingHandledEvenAfterANestedOne) {
  DerivedWnd wnd;
  wnd.SendMessage(kNested, 1, 2);
  EXPECT_EQ(wnd.defaults, (std::vector<Seen>{{kUnmapped, 3, 4}, {kNested, 1, 2}}));

  wnd.defaults.clear();
  EXPECT_EQ(wnd.DefaultOutsideAnyMessage(), 0);  // there is nothing to hand on
  EXPECT_TRUE(wnd.defaults.empty());
}

}  // namespace
