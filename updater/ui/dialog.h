// The window-message model: a dialog with a message queue served on its UI
// thread, timers, controls addressed by id, message boxes from any thread.
//
// A worker talks to the dialog only through Post (queued), Send (runs on the
// UI thread while the caller waits) and MessageBox. After EndDialog nothing
// reaches the screen any more: posts are dropped, sends return 0 and message
// boxes asked from other threads return their default answer unseen.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "updater/ui/frontend.h"

namespace kestra::ui {

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

enum class ControlKind {
  Static,             // plain label
  TransparentStatic,  // text drawn over the background
  Progress,           // 0..100
  Button,             // push button (bitmap or owner-drawn)
  HyperLink,
  NoticeEdit,         // multi-line read-only text with a scroll bar
};

// One control of a dialog template, in dialog units.
struct ControlSpec {
  int id = -1;  // -1 for labels nobody addresses
  ControlKind kind = ControlKind::Static;
  std::string text;  // GBK
  int x = 0, y = 0, width = 0, height = 0;
};

struct DialogTemplate {
  int id = 0;
  std::string title;  // GBK
  int width = 0, height = 0;
  std::string font;  // GBK face name
  int font_points = 9;
  std::vector<ControlSpec> controls;
};

struct ControlState {
  ControlSpec spec;
  std::string text;
  bool visible = true;
  bool enabled = true;
  int progress = 0;
  std::string image;  // what the frontend shows as picture: a file path or "resource:N"
};

class Dialog {
 public:
  explicit Dialog(DialogTemplate tmpl, Frontend* frontend = nullptr);
  virtual ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Shows the dialog, runs OnInitDialog and serves the queue and the timers
  // until EndDialog; returns the result given to EndDialog. The calling thread
  // becomes the UI thread.
  int RunModal();

  // Any thread.
  void Post(unsigned message, WParam wparam = 0, LParam lparam = 0);
  LResult Send(unsigned message, WParam wparam = 0, LParam lparam = 0);
  Answer MessageBox(std::string_view text, std::string_view caption,
                    Buttons buttons, Icon icon);
  bool ended() const;
  bool IsUiThread() const;

  // UI thread.
  void EndDialog(int result);
  // Processes the messages and due timers that are waiting and lets the
  // frontend draw; does nothing on other threads.
  void PumpMessages();
  void SetTimer(int id, int period_ms);
  void KillTimer(int id);

  void SetTitle(std::string_view title);
  const std::string& title() const { return title_; }
  void SetText(int control, std::string_view text);
  std::string Text(int control) const;
  void SetVisible(int control, bool visible);
  bool IsVisible(int control) const;
  void SetEnabled(int control, bool enabled);
  bool IsEnabled(int control) const;
  void SetProgress(int control, int value);  // clamped to 0..100
  int Progress(int control) const;
  void SetImage(int control, std::string image);
  void Invalidate(int control);
  // Records the link and hands it to the frontend (which may open it).
  void RecordOpenUrl(std::string_view url);

  // The player pressed a control (frontends call this on the UI thread). A
  // hidden or disabled control ignores it.
  void Click(int control);

  const DialogTemplate& dialog_template() const { return template_; }
  const ControlState* Control(int id) const;
  const std::vector<ControlState>& controls() const { return controls_; }
  Frontend& frontend() { return *frontend_; }
  // Milliseconds since the dialog was shown.
  std::uint64_t MsSinceShown() const;

 protected:
  virtual void OnInitDialog() {}
  virtual LResult OnMessage(unsigned message, WParam wparam, LParam lparam);
  virtual void OnCommand(int /*control*/) {}
  virtual void OnTimer(int /*id*/) {}
  // A message that will never be handled: posted or sent after the end, or
  // still queued when the dialog ended. Whatever its parameters own must be
  // freed here. May run on any thread.
  virtual void OnDiscardedMessage(unsigned /*message*/, WParam /*wparam*/, LParam /*lparam*/) {}

 private:
  struct Pending {
    unsigned message = 0;
    WParam wparam = 0;
    LParam lparam = 0;
    // Set for Send and for message boxes asked from other threads.
    std::function<void()> call;
    bool is_call = false;
  };
  struct Timer {
    int period_ms = 0;
    std::uint64_t next_due_ms = 0;
  };

  void ServeQueue();
  void FireDueTimers();
  int MsUntilNextTimer() const;
  ControlState* FindControl(int id);
  // Runs fn on the UI thread and waits; false when the dialog ended first.
  bool RunOnUiThread(std::function<void()> fn);

  DialogTemplate template_;
  Frontend* frontend_;
  std::string title_;
  std::vector<ControlState> controls_;
  std::map<int, Timer> timers_;

  mutable std::mutex mutex_;
  std::condition_variable done_cv_;
  std::deque<Pending> queue_;
  bool ended_ = false;
  bool running_ = false;
  int result_ = 0;
  std::thread::id ui_thread_;
  std::uint64_t shown_at_ms_ = 0;
};

// A message box from any thread. With an owner it is shown by the owner's UI
// thread; without one it is shown by the calling thread.
Answer MessageBox(Dialog* owner, std::string_view text, std::string_view caption,
                  Buttons buttons, Icon icon);

}  // namespace kestra::ui
