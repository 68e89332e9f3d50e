#include "streams/job_lease.hpp"

#include <limits>

#include "base/clock.hpp"
#include "base/fault.hpp"

namespace qm {

void release_job_lease(TerrainState& state, const StreamControl& control, std::uint64_t job_id) {
  {
    PoisonGuard hold(state.schedule_lock);
    if (!control.is_replaced()) {
      Schedule& schedule = state.schedule;
      // The claims go first, so that they come back even when the instant below cannot be made.
      schedule.reservations.erase(job_id);
      schedule.store.unpin(job_id);
      const auto job = schedule.jobs.find(job_id);
      if (job != schedule.jobs.end() && !job->second.retry) {
        const std::uint64_t now = now_ns();
        if (now > std::numeric_limits<std::uint64_t>::max() - kRetryDelayNs)
          fault("overflow when adding duration to instant");
        job->second.retry = now + kRetryDelayNs;
      }
    }
  }
  unpark_workers(state);
}

JobLease& JobLease::operator=(JobLease&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
    control_ = std::move(other.control_);
    job_id_ = other.job_id_;
    other.state_.reset();
    other.control_.reset();
  }
  return *this;
}

void JobLease::release() noexcept {
  if (!state_) return;
  TerrainStateRef state = std::move(state_);
  StreamControlRef control = std::move(control_);
  state_.reset();
  control_.reset();
  try {
    if (control) {
      release_job_lease(*state, *control, job_id_);
    } else {
      StreamControl unreplaced;
      release_job_lease(*state, unreplaced, job_id_);
    }
  } catch (...) {
    (void)caught_message();
    unpark_workers(*state);
  }
}

JobTicket& JobTicket::operator=(JobTicket&& other) noexcept {
  if (this != &other) {
    close();
    registry_ = other.registry_;
    stream_id_ = other.stream_id_;
    other.registry_ = nullptr;
  }
  return *this;
}

void JobTicket::close() noexcept {
  if (!registry_) return;
  StreamRegistry* registry = registry_;
  registry_ = nullptr;
  try {
    registry->stream_ended(stream_id_, EndReason::error, now_ns());
  } catch (...) {
    (void)caught_message();
  }
}

}  // namespace qm
