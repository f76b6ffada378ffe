#pragma once

// The observer scheme of Model: every assignment of a published property tells the observers
// which property is about to change, before the new value is stored. Observers read the old
// value if they need it and usually just schedule one coalesced update.
// Thread: the main thread only, like everything it guards.

#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace nimbra {

enum class ModelProperty {
  devices,
  selected,
  rows,
  values,
  message,
  busy,
  updated,
  automatic,
  powerHint,
};

class ChangeNotifier {
 public:
  using Observer = std::function<void(ModelProperty)>;
  using Token = uint64_t;

  Token subscribe(Observer observer) {
    observers_.emplace(next_, std::move(observer));
    return next_++;
  }
  void unsubscribe(Token token) { observers_.erase(token); }

  void willChange(ModelProperty property) const {
    // A copy, so an observer may subscribe or unsubscribe while being told.
    std::vector<Observer> current;
    current.reserve(observers_.size());
    for (const auto& [token, observer] : observers_) current.push_back(observer);
    for (const auto& observer : current) observer(property);
  }

 private:
  std::map<Token, Observer> observers_;
  Token next_ = 1;
};

// A property whose every assignment is announced through the notifier first.
template <typename T>
class Published {
 public:
  Published(ModelProperty property, T initial, const ChangeNotifier& notifier)
      : property_(property), value_(std::move(initial)), notifier_(notifier) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  const T& get() const { return value_; }

  Published& operator=(T value) {
    notifier_.willChange(property_);
    value_ = std::move(value);
    return *this;
  }

 private:
  ModelProperty property_;
  T value_;
  const ChangeNotifier& notifier_;
};

}  // namespace nimbra
