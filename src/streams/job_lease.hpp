#pragma once
// The two guards a mesh stream holds for its job. Releasing the lease gives the job's claims on the
// Schedule back (its reservation and its pin record) and sets its retry instant, unless a newer
// request of the same page replaced the stream; the workers are woken either way. Releasing the
// ticket records the stream's end as "error" unless the stream already recorded its own end.
// Both give back on every path, also while a fault unwinds; release the ticket first.
#include <cstdint>

#include "streams/registry.hpp"
#include "streams/stream_control.hpp"
#include "work/terrain_state.hpp"

namespace qm {

// With the schedule lock not held by the caller.
void release_job_lease(TerrainState& state, const StreamControl& control, std::uint64_t job_id);

class JobLease {
 public:
  JobLease() = default;
  JobLease(TerrainStateRef state, StreamControlRef control, std::uint64_t job_id)
      : state_(std::move(state)), control_(std::move(control)), job_id_(job_id) {}
  JobLease(JobLease&& other) noexcept { *this = std::move(other); }
  JobLease& operator=(JobLease&& other) noexcept;
  JobLease(const JobLease&) = delete;
  JobLease& operator=(const JobLease&) = delete;
  ~JobLease() { release(); }

  // Gives the job's claims back now (once); never throws.
  void release() noexcept;
  bool held() const { return state_ != nullptr; }
  std::uint64_t job_id() const { return job_id_; }

 private:
  TerrainStateRef state_;
  StreamControlRef control_;
  std::uint64_t job_id_ = 0;
};

class JobTicket {
 public:
  JobTicket() = default;
  explicit JobTicket(std::uint64_t stream_id, StreamRegistry& registry = stream_registry())
      : registry_(&registry), stream_id_(stream_id) {}
  JobTicket(JobTicket&& other) noexcept { *this = std::move(other); }
  JobTicket& operator=(JobTicket&& other) noexcept;
  JobTicket(const JobTicket&) = delete;
  JobTicket& operator=(const JobTicket&) = delete;
  ~JobTicket() { close(); }

  // Records "error" as the stream's end unless it has ended already (once); never throws.
  void close() noexcept;
  std::uint64_t stream_id() const { return stream_id_; }

 private:
  StreamRegistry* registry_ = nullptr;
  std::uint64_t stream_id_ = 0;
};

}  // namespace qm
