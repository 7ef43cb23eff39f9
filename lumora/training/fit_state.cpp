#include "lumora/training/fit_state.h"

#include <sstream>
#include <string>

#include "lumora/core/errors.h"
#include "lumora/core/torch_compat.h"

namespace lumora {
namespace {

using Dict = c10::impl::GenericDict;

Dict new_dict() { return Dict(c10::StringType::get(), c10::AnyType::get()); }

c10::IValue tensor_list(const std::vector<torch::Tensor>& tensors) {
  c10::impl::GenericList list(c10::AnyType::get());
  for (const auto& t : tensors) list.push_back(t);
  return list;
}

c10::IValue scores_value(const Scores& s) {
  c10::impl::GenericList list(c10::AnyType::get());
  for (double v : {s.oa, s.miou, s.dice, s.precision, s.recall, s.aa, s.kappa}) list.push_back(v);
  return list;
}

// Reads entries of a state mapping; anything unexpected is one error.
class Reader {
 public:
  explicit Reader(const c10::IValue& value, std::string where) : where_(std::move(where)) {
    if (!value.isGenericDict()) fail("");
    dict_ = value.toGenericDict();
  }
  c10::IValue at(const std::string& key) const {
    const auto found = dict_.find(key);
    if (found == dict_.end()) fail(key);
    return found->value();
  }
  Reader sub(const std::string& key) const { return Reader(at(key), where_ + key + "."); }
  int64_t integer(const std::string& key) const { return checked(key, at(key).isInt()).toInt(); }
  double real(const std::string& key) const {
    const c10::IValue v = at(key);
    if (v.isInt()) return static_cast<double>(v.toInt());
    return checked(key, v.isDouble()).toDouble();
  }
  std::string text(const std::string& key) const { return checked(key, at(key).isString()).toStringRef(); }
  torch::Tensor tensor(const std::string& key) const { return checked(key, at(key).isTensor()).toTensor(); }
  bool none(const std::string& key) const { return at(key).isNone(); }
  std::vector<torch::Tensor> tensors(const std::string& key) const {
    std::vector<torch::Tensor> out;
    for (const c10::IValue& v : checked(key, at(key).isList()).toListRef()) {
      if (!v.isTensor()) fail(key);
      out.push_back(v.toTensor());
    }
    return out;
  }
  std::vector<double> reals(const std::string& key) const {
    std::vector<double> out;
    for (const c10::IValue& v : checked(key, at(key).isList()).toListRef()) {
      if (!v.isDouble()) fail(key);
      out.push_back(v.toDouble());
    }
    return out;
  }
  StateDict weights(const std::string& key) const { return state_dict_from_ivalue(at(key), "the checkpoint's " + where_ + key); }
  [[noreturn]] void fail(const std::string& key) const {
    throw ValueError("the checkpoint's " + (key.empty() ? "state" : where_ + key) + " is missing or damaged");
  }

 private:
  c10::IValue checked(const std::string& key, bool ok) const {
    if (!ok) fail(key);
    return at(key);
  }
  std::string where_;
  Dict dict_ = new_dict();
};

}  // namespace

OptimizerState adamw_state(torch::optim::AdamW& optimizer) {
  OptimizerState s;
  s.lr = optimizer.param_groups().front().options().get_lr();
  for (const auto& group : optimizer.param_groups())
    for (const auto& p : group.params()) {
      auto* state = static_cast<torch::optim::AdamWParamState*>(compat::optimizer_param_state(optimizer, p));
      if (!state) {
        s.params.emplace_back();
        continue;
      }
      s.params.push_back(AdamMoments{state->step(), state->exp_avg().detach().to(torch::kCPU, /*non_blocking=*/false, /*copy=*/true),
                                     state->exp_avg_sq().detach().to(torch::kCPU, false, true)});
    }
  return s;
}

void restore_adamw_state(torch::optim::AdamW& optimizer, const OptimizerState& s) {
  size_t i = 0;
  for (auto& group : optimizer.param_groups()) {
    group.options().set_lr(s.lr);
    for (const auto& p : group.params()) {
      if (i >= s.params.size()) throw ValueError("the checkpoint's optimiser state does not fit the network");
      const auto& m = s.params[i++];
      if (!m) continue;
      if (m->exp_avg.sizes() != p.sizes() || m->exp_avg_sq.sizes() != p.sizes())
        throw ValueError("the checkpoint's optimiser state does not fit the network");
      auto state = std::make_unique<torch::optim::AdamWParamState>();
      state->step(m->step);
      state->exp_avg(m->exp_avg.to(p.device(), p.scalar_type()).clone());
      state->exp_avg_sq(m->exp_avg_sq.to(p.device(), p.scalar_type()).clone());
      compat::set_optimizer_param_state(optimizer, p, std::move(state));
    }
  }
  if (i != s.params.size()) throw ValueError("the checkpoint's optimiser state does not fit the network");
}

c10::IValue fit_state_to_ivalue(const FitState& s) {
  Dict d = new_dict();
  d.insert("epoch", s.epoch);
  d.insert("model", state_dict_to_ivalue(s.model));

  Dict opt = new_dict();
  opt.insert("lr", s.optimizer.lr);
  c10::impl::GenericList params(c10::AnyType::get());
  for (const auto& m : s.optimizer.params) {
    if (!m) {
      params.push_back(c10::IValue());
      continue;
    }
    Dict one = new_dict();
    one.insert("step", m->step);
    one.insert("exp_avg", m->exp_avg);
    one.insert("exp_avg_sq", m->exp_avg_sq);
    params.push_back(one);
  }
  opt.insert("params", params);
  d.insert("optimizer", opt);

  Dict plateau = new_dict();
  plateau.insert("best", s.plateau.best);
  plateau.insert("num_bad_epochs", s.plateau.num_bad_epochs);
  plateau.insert("cooldown_counter", s.plateau.cooldown_counter);
  d.insert("scheduler", plateau);
  Dict scaler = new_dict();
  scaler.insert("scale", s.scaler.first);
  scaler.insert("growth_tracker", s.scaler.second);
  d.insert("scaler", scaler);

  d.insert("generators", tensor_list(s.generators));
  std::ostringstream draws;
  draws << s.draws;
  d.insert("draws", draws.str());

  Dict progress = new_dict();
  progress.insert("best_score", s.progress.best_score);
  progress.insert("best_epoch", s.progress.best_epoch);
  progress.insert("best_scores", scores_value(s.progress.best_scores));
  progress.insert("best_loss", s.progress.best_loss);
  progress.insert("epochs_without_improvement", s.progress.epochs_without_improvement);
  progress.insert("last_val_miou", s.progress.last_val_miou);
  progress.insert("best_weights", s.best_weights ? state_dict_to_ivalue(*s.best_weights) : c10::IValue());
  d.insert("progress", progress);

  d.insert("averaged", s.averaged ? tensor_list(*s.averaged) : c10::IValue());
  d.insert("pseudo", s.pseudo.defined() ? c10::IValue(s.pseudo) : c10::IValue());
  return d;
}

FitState fit_state_from_ivalue(const c10::IValue& value) {
  const Reader r(value, "");
  FitState s;
  s.epoch = r.integer("epoch");
  s.model = r.weights("model");

  const Reader opt = r.sub("optimizer");
  s.optimizer.lr = opt.real("lr");
  const c10::IValue params = opt.at("params");
  if (!params.isList()) opt.fail("params");
  for (const c10::IValue& v : params.toListRef()) {
    if (v.isNone()) {
      s.optimizer.params.emplace_back();
      continue;
    }
    const Reader one(v, "optimizer.params.");
    s.optimizer.params.push_back(AdamMoments{one.integer("step"), one.tensor("exp_avg"), one.tensor("exp_avg_sq")});
  }

  const Reader plateau = r.sub("scheduler");
  s.plateau = {plateau.real("best"), plateau.integer("num_bad_epochs"), plateau.integer("cooldown_counter")};
  const Reader scaler = r.sub("scaler");
  s.scaler = {scaler.real("scale"), scaler.integer("growth_tracker")};

  s.generators = r.tensors("generators");
  std::istringstream draws(r.text("draws"));
  draws >> s.draws;
  if (!draws) r.fail("draws");

  const Reader progress = r.sub("progress");
  s.progress.best_score = progress.real("best_score");
  s.progress.best_epoch = progress.integer("best_epoch");
  const std::vector<double> b = progress.reals("best_scores");
  if (b.size() != 7) progress.fail("best_scores");
  s.progress.best_scores = Scores{b[0], b[1], b[2], b[3], b[4], b[5], b[6]};
  s.progress.best_loss = progress.real("best_loss");
  s.progress.epochs_without_improvement = progress.integer("epochs_without_improvement");
  s.progress.last_val_miou = progress.real("last_val_miou");
  if (!progress.none("best_weights")) s.best_weights = progress.weights("best_weights");

  if (!r.none("averaged")) s.averaged = r.tensors("averaged");
  if (!r.none("pseudo")) s.pseudo = r.tensor("pseudo");
  return s;
}

}  // namespace lumora
