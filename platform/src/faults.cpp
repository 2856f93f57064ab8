// Fault injection: named rules that make calls fail, return chosen results, or block.
#include "faults.h"
#include "kernel.h"

#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace vx::fault {

std::atomic<bool> armed{false};

namespace {

struct State {
  std::mutex lock;
  std::vector<Rule> rules;
  std::map<std::string, unsigned> hits;
  // Calls blocked by a rule wait on this event; Reset() sets it and makes a new one.
  std::shared_ptr<kernel::Event> release = std::make_shared<kernel::Event>(true, false);
};

State& Faults() {
  static State* state = new State;
  return *state;
}

}  // namespace

void Inject(const Rule& rule) {
  auto& s = Faults();
  std::lock_guard lock(s.lock);
  s.rules.push_back(rule);
  armed.store(true);
}

void Reset() {
  auto& s = Faults();
  std::shared_ptr<kernel::Event> release;
  {
    std::lock_guard lock(s.lock);
    s.rules.clear();
    s.hits.clear();
    armed.store(false);
    release = std::exchange(s.release, std::make_shared<kernel::Event>(true, false));
  }
  release->Set();
}

unsigned Hits(const char* function) {
  auto& s = Faults();
  std::lock_guard lock(s.lock);
  auto it = s.hits.find(function);
  return it == s.hits.end() ? 0 : it->second;
}

Action CheckSlow(const char* function) {
  auto& s = Faults();
  Action action;
  bool block = false;
  std::shared_ptr<kernel::Event> release;
  {
    std::lock_guard lock(s.lock);
    auto routine = kernel::CurrentThread().startRoutine;
    for (auto it = s.rules.begin(); it != s.rules.end(); ++it) {
      if (std::strcmp(it->function, function) != 0) continue;
      if (it->onlyInThread && it->onlyInThread != routine) continue;
      if (it->skip > 0) {
        --it->skip;
        return {};
      }
      action.act = true;
      action.error = it->error;
      action.overrideResult = it->overrideResult;
      action.result = it->result;
      block = it->block;
      release = s.release;
      ++s.hits[function];
      if (--it->count == 0) s.rules.erase(it);
      break;
    }
  }
  if (block) {
    kernel::WaitAny({release}, nullptr, INFINITE);
    action.error = ERROR_OPERATION_ABORTED;
  }
  return action;
}

}  // namespace vx::fault
