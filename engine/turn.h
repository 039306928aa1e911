// A turn: one event taken through a session all or nothing.
//
// Every road that folds an event (the live agent and network sessions, the
// plain session's step, the one-shot fold) does it in two halves. Preparing
// the turn does all the work that can fail: it folds on the session's state
// itself, under a log that can undo every write (or, for a fold that cannot
// be undone so, on a copy of the state), and makes room for everything the
// commit will add. The host may then read what the turn produced and
// convert it; `commit` applies the turn without allocating and hands the
// output over. A turn dropped uncommitted rolls its log back, and the session
// is as it was.
//
// Until `commit` the output can only be read: nothing that shares a payload
// the log wrote in place leaves the turn before the log is settled (see
// kernel::UndoLog). While a turn is open, the session's state may already
// read the turn's writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "engine/inner_fold.h"
#include "engine/kernel/check.h"
#include "engine/kernel/value.h"

namespace vostrel::turn {

// The bookkeeping of a session that a turn advances when it commits; a part
// the session does not keep is null.
struct Books {
  std::vector<std::string>* pending = nullptr;    // `released` removed, `fresh` appended
  std::vector<std::string>* event_log = nullptr;  // `tag` appended
  std::uint64_t* count = nullptr;                 // one more event
};

// The next state of a turn that wrote the session's state in place, under
// its log: there is nothing to put in place at the commit.
using InPlace = std::monostate;

// What preparing a turn leaves for its commit.
template <class State, class Output>
struct Prepared {
  State next;                           // replaces the session's state (InPlace: nothing)
  Output output;                        // handed over by `commit`
  std::optional<std::string> released;  // the pending key the event answers
  std::vector<std::string> fresh;       // the keys the turn makes pending
  std::string tag;                      // the event's entry in the event log
};

// `Log` undoes what preparing wrote to the session (kernel::UndoLog for a
// state written in place, kernel::CoordinatorJournal for a coordinator); it
// is made from `log_args`, handed to `prepare`, committed with the turn and
// rolled back when the turn dies uncommitted.
template <class State, class Output, class Log = kernel::UndoLog>
class Turn {
 public:
  // `prepare(log)` returns the Prepared of the turn; `state` is the
  // session's state that its `next` replaces (null for InPlace).
  template <class Prepare, class... LogArgs>
  Turn(State* state, Books books, Prepare&& prepare, LogArgs&&... log_args)
      : log_(std::forward<LogArgs>(log_args)...),
        state_(state),
        books_(books),
        prepared_(std::forward<Prepare>(prepare)(log_)) {
    if (books_.pending != nullptr) inner_fold::make_room_for(*books_.pending, prepared_.fresh);
    if (books_.event_log != nullptr) inner_fold::reserve_one_more(*books_.event_log);
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  // What the turn produced, to be read (and converted) before the commit.
  const Output& output() const noexcept { return prepared_.output; }

  // Applies the turn and hands its output over; allocates nothing.
  Output commit() noexcept {
    VOSTREL_CHECK(!committed_, "a turn is committed once");
    committed_ = true;
    log_.commit();
    if constexpr (!std::is_same_v<State, InPlace>) *state_ = std::move(prepared_.next);
    if (books_.pending != nullptr) {
      inner_fold::apply_pending(*books_.pending, prepared_.released, prepared_.fresh);
    }
    if (books_.count != nullptr) ++*books_.count;
    if (books_.event_log != nullptr) books_.event_log->push_back(std::move(prepared_.tag));
    return std::move(prepared_.output);
  }

 private:
  // Declared first, so destroyed last: an uncommitted turn rolls back once
  // its output (and its copy of the state, if any) is gone, when the kept
  // values are again the only holders of what the log wrote.
  Log log_;
  State* state_;
  Books books_;
  Prepared<State, Output> prepared_;
  bool committed_ = false;
};

}  // namespace vostrel::turn
