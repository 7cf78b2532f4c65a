#include "updater/ui/dialog.h"

#include <algorithm>
#include <future>

#include "platform/clock.h"

namespace kestra::ui {

Dialog::Dialog(DialogTemplate tmpl, Frontend* frontend)
    : template_(std::move(tmpl)), frontend_(frontend != nullptr ? frontend : &CurrentFrontend()) {
  title_ = template_.title;
  for (const auto& spec : template_.controls) {
    ControlState state;
    state.spec = spec;
    state.text = spec.text;
    controls_.push_back(std::move(state));
  }
}

Dialog::~Dialog() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  done_cv_.notify_all();
}

int Dialog::RunModal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ui_thread_ = std::this_thread::get_id();
    running_ = true;
    ended_ = false;
  }
  shown_at_ms_ = platform::clock::SteadyMs();
  frontend_->DialogShown(*this);
  OnInitDialog();
  for (;;) {
    ServeQueue();
    if (ended()) break;
    FireDueTimers();
    if (ended()) break;
    int wait_ms = MsUntilNextTimer();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!queue_.empty()) wait_ms = 0;
    }
    frontend_->WaitForEvents(*this, wait_ms);
    if (ended()) break;
  }
  // Callers still waiting on Send or a message box get their default.
  std::deque<Pending> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(queue_);
    running_ = false;
  }
  done_cv_.notify_all();
  for (const Pending& p : left) {
    if (!p.is_call) OnDiscardedMessage(p.message, p.wparam, p.lparam);
  }
  return result_;
}

bool Dialog::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

bool Dialog::IsUiThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_ && std::this_thread::get_id() == ui_thread_;
}

void Dialog::Post(unsigned message, WParam wparam, LParam lparam) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ended_) {
      lock.unlock();
      OnDiscardedMessage(message, wparam, lparam);
      return;
    }
    Pending p;
    p.message = message;
    p.wparam = wparam;
    p.lparam = lparam;
    queue_.push_back(std::move(p));
  }
  frontend_->Wake();
}

bool Dialog::RunOnUiThread(std::function<void()> fn) {
  if (IsUiThread()) {
    fn();
    return true;
  }
  auto done = std::make_shared<bool>(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return false;
    Pending p;
    p.is_call = true;
    p.call = [fn = std::move(fn), done, this]() {
      fn();
      std::lock_guard<std::mutex> inner(mutex_);
      *done = true;
      done_cv_.notify_all();
    };
    queue_.push_back(std::move(p));
  }
  frontend_->Wake();
  std::unique_lock<std::mutex> lock(mutex_);
  done_cv_.wait(lock, [&] { return *done || ended_; });
  return *done;
}

LResult Dialog::Send(unsigned message, WParam wparam, LParam lparam) {
  if (IsUiThread()) return OnMessage(message, wparam, lparam);
  auto result = std::make_shared<LResult>(0);
  if (!RunOnUiThread([=, this] { *result = OnMessage(message, wparam, lparam); }))
    OnDiscardedMessage(message, wparam, lparam);
  return *result;
}

Answer Dialog::MessageBox(std::string_view text, std::string_view caption, Buttons buttons,
                          Icon icon) {
  if (IsUiThread()) return frontend_->ShowMessageBox(this, text, caption, buttons, icon);
  auto answer = std::make_shared<Answer>(DefaultAnswer(buttons));
  std::string t(text), c(caption);
  RunOnUiThread([=, this] {
    if (!ended()) *answer = frontend_->ShowMessageBox(this, t, c, buttons, icon);
  });
  return *answer;
}

void Dialog::EndDialog(int result) {
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ended_) {
      ended_ = true;
      result_ = result;
      first = true;
    }
  }
  done_cv_.notify_all();
  if (first) frontend_->DialogEnded(*this, result);
  frontend_->Wake();
}

void Dialog::ServeQueue() {
  for (;;) {
    Pending p;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty() || ended_) return;
      p = std::move(queue_.front());
      queue_.pop_front();
    }
    if (p.is_call) {
      p.call();
    } else {
      OnMessage(p.message, p.wparam, p.lparam);
    }
  }
}

void Dialog::PumpMessages() {
  if (!IsUiThread()) return;
  ServeQueue();
  if (!ended()) FireDueTimers();
  if (!ended()) frontend_->WaitForEvents(*this, 0);
}

void Dialog::SetTimer(int id, int period_ms) {
  Timer t;
  t.period_ms = std::max(period_ms, 1);
  t.next_due_ms = platform::clock::SteadyMs() + static_cast<std::uint64_t>(t.period_ms);
  timers_[id] = t;
  frontend_->TimerSet(*this, id, period_ms);
}

void Dialog::KillTimer(int id) {
  if (timers_.erase(id) > 0) frontend_->TimerKilled(*this, id);
}

void Dialog::FireDueTimers() {
  std::uint64_t now = platform::clock::SteadyMs();
  std::vector<int> due;
  for (const auto& [id, t] : timers_) {
    if (t.next_due_ms <= now) due.push_back(id);
  }
  for (int id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // killed by an earlier handler
    it->second.next_due_ms = now + static_cast<std::uint64_t>(it->second.period_ms);
    OnTimer(id);
    if (ended()) return;
  }
}

int Dialog::MsUntilNextTimer() const {
  if (timers_.empty()) return 1000;
  std::uint64_t now = platform::clock::SteadyMs();
  std::uint64_t next = UINT64_MAX;
  for (const auto& [id, t] : timers_) next = std::min(next, t.next_due_ms);
  if (next <= now) return 0;
  return static_cast<int>(std::min<std::uint64_t>(next - now, 1000));
}

LResult Dialog::OnMessage(unsigned, WParam, LParam) { return 0; }

ControlState* Dialog::FindControl(int id) {
  if (id < 0) return nullptr;
  for (auto& c : controls_) {
    if (c.spec.id == id) return &c;
  }
  return nullptr;
}

const ControlState* Dialog::Control(int id) const {
  return const_cast<Dialog*>(this)->FindControl(id);
}

void Dialog::SetTitle(std::string_view title) {
  title_ = title;
  frontend_->TitleChanged(*this, title_);
}

void Dialog::SetText(int control, std::string_view text) {
  ControlState* c = FindControl(control);
  if (c == nullptr) return;
  c->text = text;
  frontend_->TextChanged(*this, control, c->text);
}

std::string Dialog::Text(int control) const {
  const ControlState* c = Control(control);
  return c == nullptr ? std::string() : c->text;
}

void Dialog::SetVisible(int control, bool visible) {
  ControlState* c = FindControl(control);
  if (c == nullptr) return;
  c->visible = visible;
  frontend_->VisibleChanged(*this, control, visible);
}

bool Dialog::IsVisible(int control) const {
  const ControlState* c = Control(control);
  return c != nullptr && c->visible;
}

void Dialog::SetEnabled(int control, bool enabled) {
  ControlState* c = FindControl(control);
  if (c == nullptr) return;
  c->enabled = enabled;
  frontend_->EnabledChanged(*this, control, enabled);
}

bool Dialog::IsEnabled(int control) const {
  const ControlState* c = Control(control);
  return c != nullptr && c->enabled;
}

void Dialog::SetProgress(int control, int value) {
  ControlState* c = FindControl(control);
  if (c == nullptr) return;
  c->progress = std::clamp(value, 0, 100);
  frontend_->ProgressChanged(*this, control, c->progress);
}

int Dialog::Progress(int control) const {
  const ControlState* c = Control(control);
  return c == nullptr ? 0 : c->progress;
}

void Dialog::SetImage(int control, std::string image) {
  ControlState* c = FindControl(control);
  if (c == nullptr) return;
  c->image = std::move(image);
  frontend_->ImageChanged(*this, control);
}

void Dialog::Invalidate(int control) { frontend_->Invalidate(*this, control); }

void Dialog::RecordOpenUrl(std::string_view url) { frontend_->UrlOpened(url); }

void Dialog::Click(int control) {
  const ControlState* c = Control(control);
  bool ignored = c == nullptr || !c->visible || !c->enabled;
  frontend_->ClickRecorded(*this, control, ignored);
  if (!ignored) OnCommand(control);
}

std::uint64_t Dialog::MsSinceShown() const { return platform::clock::SteadyMs() - shown_at_ms_; }

Answer MessageBox(Dialog* owner, std::string_view text, std::string_view caption, Buttons buttons,
                  Icon icon) {
  if (owner != nullptr) return owner->MessageBox(text, caption, buttons, icon);
  return CurrentFrontend().ShowMessageBox(nullptr, text, caption, buttons, icon);
}

}  // namespace kestra::ui
