#include "updater/ui/frontend.h"

#include <mutex>

namespace kestra::ui {
namespace {

std::mutex g_frontend_mutex;
std::unique_ptr<Frontend> g_frontend;

}  // namespace

std::string_view ButtonsName(Buttons buttons) {
  switch (buttons) {
    case Buttons::OK: return "OK";
    case Buttons::OKCancel: return "OKCancel";
    case Buttons::YesNo: return "YesNo";
    case Buttons::RetryCancel: return "RetryCancel";
  }
  return "OK";
}

std::string_view IconName(Icon icon) {
  switch (icon) {
    case Icon::None: return "none";
    case Icon::Error: return "error";
    case Icon::Warning: return "warning";
    case Icon::Info: return "info";
  }
  return "none";
}

std::string_view AnswerName(Answer answer) {
  switch (answer) {
    case Answer::OK: return "OK";
    case Answer::Cancel: return "Cancel";
    case Answer::Yes: return "Yes";
    case Answer::No: return "No";
    case Answer::Retry: return "Retry";
  }
  return "OK";
}

bool HasButton(Buttons buttons, Answer answer) {
  switch (buttons) {
    case Buttons::OK: return answer == Answer::OK;
    case Buttons::OKCancel: return answer == Answer::OK || answer == Answer::Cancel;
    case Buttons::YesNo: return answer == Answer::Yes || answer == Answer::No;
    case Buttons::RetryCancel: return answer == Answer::Retry || answer == Answer::Cancel;
  }
  return false;
}

Answer DefaultAnswer(Buttons buttons) {
  if (HasButton(buttons, Answer::Cancel)) return Answer::Cancel;
  if (HasButton(buttons, Answer::No)) return Answer::No;
  return Answer::OK;
}

Frontend& CurrentFrontend() {
  std::lock_guard<std::mutex> lock(g_frontend_mutex);
  if (!g_frontend) g_frontend = MakeFrontendFromEnvironment();
  return *g_frontend;
}

std::unique_ptr<Frontend> SetFrontend(std::unique_ptr<Frontend> frontend) {
  std::lock_guard<std::mutex> lock(g_frontend_mutex);
  std::swap(g_frontend, frontend);
  return frontend;
}

}  // namespace kestra::ui
