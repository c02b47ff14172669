// A UserPrompts for tests (Linux and Windows) that records what it shows.
#pragma once
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/UserPrompts.h"

namespace quon::test {

struct ShownBox {
  std::string text;
  MsgButtons buttons;
  MsgIcon icon;
  std::thread::id thread;  // the thread that asked for it
};

// Records every box (from any thread), answers OK (Yes to a question), and
// answers the proxy prompt from a script: each entry is credentials, or
// nullopt for "dismissed".
class RecordingPrompts : public UserPrompts {
 public:
  int MessageBox(std::string_view text, MsgButtons buttons, MsgIcon icon) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back({std::string(text), buttons, icon, std::this_thread::get_id()});
    return buttons == MsgButtons::YesNo ? kIdYes : kIdOk;
  }
  bool PromptProxyCredentials(std::string_view proxy, std::string& user, std::string& password) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_proxyPrompts;
    m_proxiesShown.emplace_back(proxy);
    if (m_answers.empty()) return false;
    auto answer = m_answers.front();
    m_answers.pop_front();
    if (!answer) return false;
    user = answer->first;
    password = answer->second;
    return true;
  }
  void AnswerProxy(std::optional<std::pair<std::string, std::string>> answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.push_back(std::move(answer));
  }
  std::vector<ShownBox> Boxes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const ShownBox& box : Boxes()) texts.push_back(box.text);
    return texts;
  }
  int ProxyPrompts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_proxyPrompts;
  }
  // The proxy each prompt named.
  std::vector<std::string> ProxiesShown() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_proxiesShown;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<ShownBox> m_boxes;
  std::deque<std::optional<std::pair<std::string, std::string>>> m_answers;
  int m_proxyPrompts = 0;
  std::vector<std::string> m_proxiesShown;
};

}  // namespace quon::test
