#include "mesh/sampling/sampling_run.hpp"

#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/sampling/model.hpp"
#include "mesh/sampling/sampler.hpp"

namespace qm::mesh {

std::optional<double> finer_spacing(double spacing, double share) {
  if (spacing != 2.0 || !(share >= 0.181)) return std::nullopt;
  if (share >= 0.329) return 0.7;
  if (share >= 0.281) return 1.0;
  return 1.4;
}

AdvanceResult model_step(SamplingRun& run, const HeightAnswers& answers) {
  Lattice& l = run.lattice;
  if (run.finished) {
    return AdvanceResult{l.level, l.step, l.pending.size(), l.finished ? AdvanceTag::Done : AdvanceTag::Ask};
  }
  const AdvanceResult r = sampler_advance(l, answers);
  if (r.tag == AdvanceTag::Wait) return AdvanceResult{r.first, 0.0, 0, AdvanceTag::Wait};
  if (r.tag == AdvanceTag::Ask) return r;

  double share;
  {
    SpanTimer span("selfcheck.share");
    if (!l.finished) fault("a model is made from a finished run");
    const Model model = build_model(l);
    share = self_check_share(l, run.cover, model);
  }
  run.history.emplace_back(l.spacing, share);
  if (const std::optional<double> finer = finer_spacing(l.spacing, share)) {
    run.lattice = lattice_new(run.cover, *finer);
    return AdvanceResult{run.lattice.level, run.lattice.step, run.lattice.pending.size(), AdvanceTag::Ask};
  }
  run.finished = 1;
  return r;
}

void release_levels(SamplingRun& run) {
  std::vector<Level>().swap(run.lattice.levels);
  run.lattice.samples = HashMap<TerrainPoint, double>();
  std::vector<TerrainPoint>().swap(run.lattice.pending);
}

}  // namespace qm::mesh
