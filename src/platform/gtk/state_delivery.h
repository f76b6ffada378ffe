#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace nimbra {

// Which pushed screen states reach the page, and when.
//
// The controller pushes after every change it publishes, often the same state again (a live
// read flips `busy` on and off, a poll's steps end where they began). Only a state that
// differs from the last one delivered to the current document is delivered, so the page
// still sees every state that differs. While the window is not visible (hidden, unmapped or
// minimised) nothing is delivered; the latest state waits and goes out as soon as the window
// shows again. A new document has been given nothing, and a delivery that failed counts as
// not made.
//
// Pure bookkeeping, main thread only: the web view asks it and does the delivering.
class StateDelivery {
 public:
  struct Delivery {
    uint64_t id = 0;
    std::string stateJSON;
  };
  // Counted since construction, for the resident-cost measurement (bench/resident_cost).
  struct Counts {
    uint64_t pushed = 0;     // states the controller pushed
    uint64_t changed = 0;    // pushes that differed from the push before them
    uint64_t delivered = 0;  // states handed to the page
  };

  // A state pushed by the controller: what to deliver now, if anything.
  std::optional<Delivery> push(std::string stateJSON);
  // The window's visibility changed: on becoming visible, the state that waited, if any.
  std::optional<Delivery> setVisible(bool visible);
  // A new document loaded: it has received nothing yet.
  void pageLoaded();
  // The delivery `id` did not complete (no renderNimbra, or it threw): when it is still the
  // last one, the next push of the same state is delivered again.
  void failed(uint64_t id);

  bool visible() const { return visible_; }
  const Counts& counts() const { return counts_; }

 private:
  std::optional<Delivery> deliverWaiting();

  bool visible_ = true;
  std::optional<std::string> waiting_;    // pushed and not yet delivered
  std::optional<std::string> delivered_;  // the last state delivered to this document
  uint64_t lastId_ = 0;
  Counts counts_;
  size_t lastPushedHash_ = 0;  // a hash keeps "changed" from holding a second copy
};

}  // namespace nimbra
