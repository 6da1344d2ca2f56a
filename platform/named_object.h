// Events, mutexes and shared memory (CreateEventA, OpenEventA, SetEvent,
// ResetEvent, PulseEvent, CreateMutexA, ReleaseMutex, CreateFileMappingA,
// OpenFileMappingA, MapViewOfFile, WaitForSingleObject,
// WaitForMultipleObjects).
//
// Named objects belong to the current host and are shared by every process
// of it: each lives in one file under <root>/run/obj, created on first use
// and removed when its last handle closes (or a process that held one has
// died). Events, mutexes and shared memory share one namespace; names are
// case-sensitive, and the prefixes "Global\" and "Local\" are accepted and
// ignored (a host has one session). An empty name makes an object private
// to this process. docs/formats/local-pipes.md describes the object files.
//
// Create opens the object when it exists and then sets the last error to
// 183 (already exists) and ignores the creation parameters; a new object
// sets it to 0, so callers can tell which happened. A name taken by an
// object of another kind fails with 6.
//
// Every operation that fails returns false (or kWaitFailed) and sets the
// thread's last error; out-parameters are left untouched on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace platform {

// Wait results and the endless time-out (WAIT_OBJECT_0, WAIT_ABANDONED,
// WAIT_TIMEOUT, WAIT_FAILED, INFINITE).
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitAbandoned = 0x80;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// The object behind a handle; shared by Event, Mutex and SharedMemory.
class KernelObject;

class Event {
 public:
  Event();
  ~Event();
  Event(Event&&) noexcept;
  Event& operator=(Event&&) noexcept;

  // CreateEventA. `manual_reset` false: a successful wait resets the event.
  bool Create(std::string_view name, bool manual_reset, bool initial_state);
  // OpenEventA: fails with 2 when no object of that name exists.
  bool Open(std::string_view name);
  bool IsValid() const { return object_ != nullptr; }
  void Close();

  bool Set();
  bool Reset();
  // Releases the threads waiting now (a manual-reset event all of them, an
  // auto-reset event one) and leaves the event reset.
  bool Pulse();

  // WaitForSingleObject: kWaitObject0 when signalled (an auto-reset event
  // is reset by it), kWaitTimeout when `timeout_ms` passed first.
  uint32_t Wait(uint32_t timeout_ms);
  // Waits until signalled and resets the event in the same step, so that
  // of many waiters on a manual-reset event exactly one passes: a gate.
  uint32_t WaitAndReset(uint32_t timeout_ms);

 private:
  friend uint32_t WaitForAnyEvent(const std::vector<Event*>& events, uint32_t timeout_ms);
  std::unique_ptr<KernelObject> object_;
};

// WaitForMultipleObjects over events with bWaitAll false: kWaitObject0 + the
// lowest index of a signalled event, kWaitTimeout, or kWaitFailed (87 for an
// empty list or an invalid event).
uint32_t WaitForAnyEvent(const std::vector<Event*>& events, uint32_t timeout_ms);

// A mutex owned by one thread at a time; the owner may wait again
// (recursion) and must release as often.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(Mutex&&) noexcept;
  Mutex& operator=(Mutex&&) noexcept;

  // CreateMutexA; `initial_owner` applies only when the mutex is new.
  bool Create(std::string_view name, bool initial_owner);
  // OpenMutexA: 2 when no object of that name exists.
  bool Open(std::string_view name);
  bool IsValid() const { return object_ != nullptr; }
  // Closing a handle does not release ownership; a mutex still owned by a
  // thread of this process stays alive until the process ends.
  void Close();

  // kWaitObject0, kWaitAbandoned (the owner thread or process ended
  // without releasing; the caller now owns the mutex), kWaitTimeout.
  uint32_t Wait(uint32_t timeout_ms);
  // ReleaseMutex: fails with 288 when the calling thread is not the owner.
  bool Release();

 private:
  std::unique_ptr<KernelObject> object_;
};

// Page-file backed shared memory (CreateFileMappingA on no file, mapped
// read/write at once). New memory is zero-filled.
class SharedMemory {
 public:
  SharedMemory();
  ~SharedMemory();
  SharedMemory(SharedMemory&&) noexcept;
  SharedMemory& operator=(SharedMemory&&) noexcept;

  // Fails with 87 for size 0, 8 when the memory cannot be had. Opening an
  // existing object keeps its size.
  bool Create(std::string_view name, uint64_t size);
  // OpenFileMappingA: 2 when no object of that name exists.
  bool Open(std::string_view name);
  bool IsValid() const { return object_ != nullptr; }
  void Close();

  void* data() const;
  uint64_t size() const;

 private:
  std::unique_ptr<KernelObject> object_;
};

}  // namespace platform
