#pragma once

#include <chrono>

namespace nimbra {

// A point in calendar time, as stored in documents and shown to the user.
using Date = std::chrono::system_clock::time_point;

// The wall clock, passed in wherever a date is taken so tests can fix it.
// Any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;
};

class SystemClock final : public Clock {
 public:
  Date now() const override { return std::chrono::system_clock::now(); }
};

// A clock that moves only when told. Not synchronised: set it from the test's thread.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(Date start = Date{}) : now_(start) {}
  Date now() const override { return now_; }
  void set(Date date) { now_ = date; }
  template <typename Rep, typename Period>
  void advance(std::chrono::duration<Rep, Period> by) {
    now_ += std::chrono::duration_cast<Date::duration>(by);
  }

 private:
  Date now_;
};

}  // namespace nimbra
