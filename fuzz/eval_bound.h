// An upper bound of the work and memory that running transducers over a few
// events can take, computed without running them.
//
// Evaluation has no fuel of its own: a fold whose body doubles its
// accumulator (a string concatenated with itself, folds nested in folds)
// terminates, but only after an amount of work exponential in the size of
// the definition. Those inputs are legitimate and uninteresting to a fuzzer,
// which would report them as time-outs or memory exhaustion; the evaluation
// target skips every input whose bound exceeds its budget and runs the rest.
//
// The bound follows the evaluator case by case: sizes count the nodes and
// bytes of a value as a tree (a shared payload counted at every place it
// appears), work counts one unit per expression evaluated plus the size of
// every payload copied, compared, concatenated or listed. Every count
// saturates, and the walk stops as soon as the work passes the budget, so the
// bound itself costs at most about the budget.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/kernel/types.h"
#include "engine/kernel/value.h"

namespace vostrel::fuzz {

class EvalBound {
 public:
  explicit EvalBound(std::uint64_t budget) : budget_(budget) {}

  bool over() const { return work_ > budget_ || peak_ > budget_; }
  std::uint64_t work() const { return work_; }

  // Tree size of a value (nodes plus bytes).
  static std::uint64_t size_of(const kernel::Value& root) {
    std::uint64_t total = 0;
    std::vector<const kernel::Value*> stack{&root};
    while (!stack.empty()) {
      const kernel::Value* v = stack.back();
      stack.pop_back();
      total = add(total, 1);
      if (v->is_str()) total = add(total, v->as_str().size());
      if (v->is_list())
        for (const auto& item : v->as_list()) stack.push_back(&item);
      if (v->is_map())
        for (const auto& [key, item] : v->as_map()) {
          total = add(total, key.size());
          stack.push_back(&item);
        }
    }
    return total;
  }

  // Runs the rules of `ts` whose `on` is `tag` over the slot sizes in
  // `slots` (updated), with the event fields of `data`.
  void run(const std::vector<kernel::TransducerDef>& ts, std::map<std::string, std::uint64_t>& slots,
           std::string_view tag, const kernel::Env& data) {
    fields_.clear();
    for (const auto& [name, v] : data) fields_[name] = size_of(v);
    slots_ = &slots;
    for (const auto& t : ts) {
      for (const auto& rule : t.rules) {
        if (over()) return;
        if (rule.on != tag) continue;
        eval(rule.guard);
        for (const auto& u : rule.updates) {
          // The guard may be false, so the old value may stay.
          std::uint64_t v = eval(u.expr);
          std::uint64_t& slot = slots[u.slot];
          slot = std::max(slot, v);
          peak_ = std::max(peak_, slot);
        }
        for (const auto& e : rule.emits) effects_ = add(effects_, eval(e));
        peak_ = std::max(peak_, effects_);
      }
    }
  }

 private:
  static std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    return a > kCap - b ? kCap : a + b;
  }
  static constexpr std::uint64_t kCap = std::uint64_t{1} << 50;

  std::uint64_t lookup(std::string_view name) const {
    for (auto it = locals_.rbegin(); it != locals_.rend(); ++it)
      if (it->first == name) return it->second;
    if (auto it = fields_.find(std::string(name)); it != fields_.end()) return it->second;
    if (auto it = slots_->find(std::string(name)); it != slots_->end()) return it->second;
    return 1;
  }

  void spend(std::uint64_t n) { work_ = add(work_, n); }

  // The size bound of the value of `e`, adding its work.
  std::uint64_t eval(const kernel::Expr& e) {
    spend(1);
    if (over()) return kCap;
    const std::uint64_t size = std::visit([this](const auto& n) { return node(n); }, e.node);
    peak_ = std::max(peak_, size);
    return size;
  }

  std::uint64_t node(const kernel::expr::Lit& n) { return size_of(n.value); }
  std::uint64_t node(const kernel::expr::Ref& n) { return lookup(n.name); }
  std::uint64_t arith(const kernel::Expr& l, const kernel::Expr& r) {
    eval(l);
    eval(r);
    return 1;
  }
  std::uint64_t node(const kernel::expr::Add& n) { return arith(*n.left, *n.right); }
  std::uint64_t node(const kernel::expr::Mul& n) { return arith(*n.left, *n.right); }
  std::uint64_t node(const kernel::expr::Div& n) { return arith(*n.left, *n.right); }
  std::uint64_t node(const kernel::expr::Mod& n) { return arith(*n.left, *n.right); }
  std::uint64_t node(const kernel::expr::Gt& n) { return arith(*n.left, *n.right); }
  std::uint64_t node(const kernel::expr::Eq& n) {
    std::uint64_t l = eval(*n.left), r = eval(*n.right);
    spend(std::min(l, r));
    return 1;
  }
  std::uint64_t node(const kernel::expr::LAppend& n) {
    std::uint64_t l = eval(*n.list), i = eval(*n.item);
    spend(l);  // a shared list is copied before it grows
    return add(add(l, i), 1);
  }
  std::uint64_t node(const kernel::expr::MPut& n) {
    std::uint64_t m = eval(*n.map), k = eval(*n.key), v = eval(*n.value);
    spend(add(m, k));
    return add(add(m, k), add(v, 1));
  }
  std::uint64_t node(const kernel::expr::MGet& n) {
    std::uint64_t m = eval(*n.map), k = eval(*n.key);
    spend(k);
    return m;
  }
  std::uint64_t node(const kernel::expr::MDel& n) {
    std::uint64_t m = eval(*n.map), k = eval(*n.key);
    spend(add(m, k));
    return m;
  }
  std::uint64_t node(const kernel::expr::MKeys& n) {
    std::uint64_t m = eval(*n.map);
    spend(m);
    return add(m, 1);
  }
  std::uint64_t node(const kernel::expr::Rec& n) {
    std::uint64_t total = 1;
    for (const auto& f : n.fields) {
      total = add(total, add(f.key.size(), eval(*f.val_expr)));
      spend(f.key.size());
    }
    return total;
  }
  std::uint64_t node(const kernel::expr::ELet& n) {
    std::uint64_t v = eval(*n.value);
    locals_.push_back({n.name, v});
    std::uint64_t r = eval(*n.body);
    locals_.pop_back();
    return r;
  }
  std::uint64_t node(const kernel::expr::IfElse& n) {
    eval(*n.cond);
    // Only one branch runs; both are walked, which only overcounts.
    return std::max(eval(*n.then_expr), eval(*n.else_expr));
  }
  std::uint64_t node(const kernel::expr::LFold& n) {
    const std::uint64_t list = eval(*n.list);  // also bounds the element count
    std::uint64_t acc = eval(*n.init);
    for (std::uint64_t i = 0; i < list && !over(); ++i) {
      const std::uint64_t before = work_;
      locals_.push_back({n.acc_var, acc});
      locals_.push_back({n.item_var, list});
      std::uint64_t next = std::max(acc, eval(*n.body));
      locals_.pop_back();
      locals_.pop_back();
      if (next == acc) {
        // A fixed point: every further element costs what this one did.
        const std::uint64_t step = work_ - before;
        const std::uint64_t rest = list - i - 1;
        spend(rest > 0 && step > kCap / rest ? kCap : step * rest);
        break;
      }
      acc = next;
    }
    return acc;
  }
  std::uint64_t node(const kernel::expr::StrCat& n) {
    std::uint64_t l = eval(*n.left), r = eval(*n.right);
    spend(add(l, r));
    return add(l, r);
  }
  std::uint64_t node(const kernel::expr::Macro&) { return 1; }

  std::uint64_t budget_;
  std::uint64_t work_ = 0;
  std::uint64_t peak_ = 0;  // the largest value or effect list met
  std::uint64_t effects_ = 0;
  std::vector<std::pair<std::string_view, std::uint64_t>> locals_;
  std::map<std::string, std::uint64_t> fields_;
  std::map<std::string, std::uint64_t>* slots_ = nullptr;
};

}  // namespace vostrel::fuzz
