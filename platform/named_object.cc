#include "platform/named_object.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/strings.h"

namespace platform {
namespace {

enum class ObjectType : uint32_t { kEvent = 1, kMutex = 2, kSharedMemory = 3 };

// Object file: a little-endian header, the live synchronisation area (used
// in place by every process that maps the file) and, for shared memory,
// the data from the second page on.
constexpr char kMagic[4] = {'V', 'X', 'O', 'B'};
constexpr uint32_t kVersion = 1;
constexpr size_t kSyncOffset = 64;
constexpr size_t kDataOffset = 4096;
constexpr size_t kMaxNameLength = 260;
constexpr size_t kMaxWaitObjects = 64;

// Lives in shared memory; only this process's kind of machine reads it.
struct SyncArea {
  pthread_mutex_t lock;   // events: guards the fields; mutexes: the mutex
  uint32_t seq;           // futex word, bumped by every change waiters care for
  uint32_t signalled;
  uint32_t manual;
  uint32_t waiters;       // threads waiting now (for Pulse)
  uint32_t pulse_gen;     // bumped by a Pulse that found waiters
  uint32_t pulse_tokens;  // waiters of an older generation still to release
  int32_t owner_pid;      // mutexes: the owning thread, 0 when free
  int32_t owner_tid;
  uint32_t recursion;
};
static_assert(kSyncOffset + sizeof(SyncArea) <= kDataOffset, "sync area must fit the first page");

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t GetLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

int32_t ThreadId() { return static_cast<int32_t>(::syscall(SYS_gettid)); }

void FutexWakeAll(uint32_t* word) {
  ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

timespec MonotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

timespec AddMs(timespec ts, uint32_t ms) {
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

// Milliseconds left until `deadline` (0 when passed).
int64_t MsLeft(const timespec& deadline) {
  timespec now = MonotonicNow();
  int64_t ns = (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
  return ns <= 0 ? 0 : (ns + 999999) / 1000000;
}

bool InitLock(pthread_mutex_t* lock, bool recursive) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (recursive) pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  int rc = pthread_mutex_init(lock, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc == 0;
}

// Holds an event's state lock; a holder that died left single-word
// updates only, so its state is taken over as it stands.
class StateLock {
 public:
  explicit StateLock(SyncArea* s) : s_(s) {
    if (pthread_mutex_lock(&s_->lock) == EOWNERDEAD) pthread_mutex_consistent(&s_->lock);
  }
  ~StateLock() { pthread_mutex_unlock(&s_->lock); }

 private:
  SyncArea* s_;
};

// The file name of an object name: "Global\" and "Local\" dropped, bytes
// that a file name cannot hold written as %XX.
bool ObjectFileName(std::string_view name, std::string* file) {
  for (std::string_view prefix : {"Global\\", "Local\\"}) {
    if (StartsWithIgnoreCase(name, prefix)) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  if (name.size() > kMaxNameLength) return Fail(kErrorFilenameExcedRange);
  if (name.empty()) return Fail(kErrorInvalidName);
  if (name.find('\\') != std::string_view::npos) return Fail(kErrorPathNotFound);
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c >= 0x7F || c == '/' || c == '%' || (i == 0 && c == '.')) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  *file = std::move(out);
  return true;
}

bool SameFile(int fd, const std::string& path) {
  struct stat a {}, b {};
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
         a.st_dev == b.st_dev;
}

bool SetLock(int fd, short type, bool wait) {
  struct flock lk {};
  lk.l_type = type;
  lk.l_whence = SEEK_SET;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lk) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

// One handle's view of an object. Every handle of a named object holds a
// read lock on its file, so the file's owners are exactly the lock holders:
// a file nobody holds is left over and counts as absent.
class KernelObject {
 public:
  ~KernelObject() {
    if (leak_) return;  // a mutex still owned here: see Mutex::Close
    if (map_) ::munmap(map_, map_size_);
    if (fd_ >= 0) {
      if (SetLock(fd_, F_WRLCK, false) && SameFile(fd_, path_)) ::unlink(path_.c_str());
      ::close(fd_);
    }
  }

  // Creates (`create`) or opens the object `name` of `type`; `size` is the
  // data size of new shared memory. `*existed` tells whether it was there.
  // `init` sets up the state of a new object before anyone else sees it.
  static std::unique_ptr<KernelObject> Get(std::string_view name, ObjectType type, bool create,
                                           uint64_t size, const std::function<void(SyncArea*)>& init,
                                           bool* existed) {
    auto obj = std::unique_ptr<KernelObject>(new KernelObject());
    obj->type_ = type;
    if (name.empty()) {
      if (!create) {
        Fail(kErrorInvalidName);
        return nullptr;
      }
      if (!obj->MapNew(-1, size)) return nullptr;
      if (init) init(obj->sync());
      *existed = false;
      return obj;
    }
    std::string file;
    if (!ObjectFileName(name, &file)) return nullptr;
    Host* host = Host::Current();
    if (!host) {
      Fail(kErrorPathNotFound);
      return nullptr;
    }
    std::string dir = host->ObjectDir();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      FailErrno(errno);
      return nullptr;
    }
    obj->path_ = dir + "/" + file;
    for (int attempt = 0; attempt < 1000; ++attempt) {
      int fd = ::open(obj->path_.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
      if (fd < 0) {
        FailErrno(errno);
        return nullptr;
      }
      if (SetLock(fd, F_WRLCK, false)) {
        // Nobody else holds it: the object is new, or a leftover.
        if (!SameFile(fd, obj->path_)) {
          ::close(fd);
          continue;
        }
        if (!create) {
          ::unlink(obj->path_.c_str());
          ::close(fd);
          Fail(kErrorFileNotFound);
          return nullptr;
        }
        if (!obj->MapNew(fd, size)) {
          uint32_t err = GetLastError();
          ::unlink(obj->path_.c_str());
          ::close(fd);
          obj->fd_ = -1;
          Fail(err);
          return nullptr;
        }
        if (init) init(obj->sync());
        SetLock(fd, F_RDLCK, false);  // converts, keeping the file held
        *existed = false;
        return obj;
      }
      if (errno != EAGAIN && errno != EACCES) {
        FailErrno(errno);
        ::close(fd);
        return nullptr;
      }
      // Held by others: wait out a creator still setting it up.
      if (!SetLock(fd, F_RDLCK, true)) {
        FailErrno(errno);
        ::close(fd);
        return nullptr;
      }
      if (!SameFile(fd, obj->path_)) {
        ::close(fd);  // removed by its last closer meanwhile
        continue;
      }
      bool torn = false;
      if (!obj->MapExisting(fd, &torn)) {
        uint32_t err = GetLastError();
        if (torn) {
          ::close(fd);  // its creator died while setting it up: take it over
          continue;
        }
        ::close(fd);
        obj->fd_ = -1;
        Fail(err);
        return nullptr;
      }
      *existed = true;
      return obj;
    }
    Fail(kErrorSharingViolation);
    return nullptr;
  }

  ObjectType type() const { return type_; }
  SyncArea* sync() const { return reinterpret_cast<SyncArea*>(static_cast<uint8_t*>(map_) + kSyncOffset); }
  uint8_t* data() const { return static_cast<uint8_t*>(map_) + kDataOffset; }
  uint64_t data_size() const { return data_size_; }
  void Leak() { leak_ = true; }

 private:
  KernelObject() = default;

  bool MapNew(int fd, uint64_t size) {
    uint64_t total = type_ == ObjectType::kSharedMemory ? kDataOffset + size : kDataOffset;
    if (type_ == ObjectType::kSharedMemory && (size == 0 || size > (uint64_t{1} << 40))) {
      return Fail(size == 0 ? kErrorInvalidParameter : kErrorNotEnoughMemory);
    }
    if (fd >= 0 && (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, static_cast<off_t>(total)) != 0)) {
      return Fail(kErrorNotEnoughMemory);
    }
    int flags = MAP_SHARED | (fd < 0 ? MAP_ANONYMOUS : 0);
    void* map = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, flags, fd, 0);
    if (map == MAP_FAILED) return Fail(kErrorNotEnoughMemory);
    map_ = map;
    map_size_ = total;
    fd_ = fd;
    data_size_ = type_ == ObjectType::kSharedMemory ? size : 0;
    auto* head = static_cast<uint8_t*>(map);
    SyncArea* s = sync();
    std::memset(s, 0, sizeof *s);
    if (!InitLock(&s->lock, type_ == ObjectType::kMutex)) return Fail(kErrorNotEnoughMemory);
    PutLe32(head + 4, kVersion);
    PutLe32(head + 8, static_cast<uint32_t>(type_));
    PutLe64(head + 16, data_size_);
    std::memcpy(head, kMagic, 4);
    return true;
  }

  // `*torn`: the file was never completely set up.
  bool MapExisting(int fd, bool* torn) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return FailErrno(errno);
    uint8_t head[24];
    if (st.st_size < static_cast<off_t>(kDataOffset) || ::pread(fd, head, sizeof head, 0) != sizeof head ||
        std::memcmp(head, kMagic, 4) != 0) {
      *torn = true;
      return Fail(kErrorInvalidHandle);
    }
    if (GetLe32(head + 4) != kVersion) return Fail(kErrorInvalidHandle);
    if (GetLe32(head + 8) != static_cast<uint32_t>(type_)) return Fail(kErrorInvalidHandle);
    uint64_t size = GetLe64(head + 16);
    // The size must be what the file really holds before it is mapped.
    if (size > static_cast<uint64_t>(st.st_size) - kDataOffset) return Fail(kErrorInvalidHandle);
    uint64_t total = kDataOffset + size;
    void* map = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return Fail(kErrorNotEnoughMemory);
    map_ = map;
    map_size_ = total;
    fd_ = fd;
    data_size_ = size;
    return true;
  }

  ObjectType type_ = ObjectType::kEvent;
  std::string path_;
  int fd_ = -1;
  void* map_ = nullptr;
  size_t map_size_ = 0;
  uint64_t data_size_ = 0;
  bool leak_ = false;
};

namespace {

std::unique_ptr<KernelObject> CreateObject(std::string_view name, ObjectType type, bool create,
                                           uint64_t size) {
  bool existed = false;
  auto obj = KernelObject::Get(name, type, create, size, nullptr, &existed);
  if (obj && create) SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
  return obj;
}

// Waits until one of `objects` is signalled; see WaitForAnyEvent.
// `reset` makes even a manual-reset event reset by the successful wait.
uint32_t WaitEvents(const std::vector<KernelObject*>& objects, uint32_t timeout_ms, bool reset) {
  const size_t n = objects.size();
  const timespec deadline = AddMs(MonotonicNow(), timeout_ms == kInfinite ? 0 : timeout_ms);
  std::vector<uint32_t> gen(n), seen(n);
  std::vector<bool> registered(n, false);
  auto unregister = [&]() {
    for (size_t j = 0; j < n; ++j) {
      if (!registered[j]) continue;
      SyncArea* s = objects[j]->sync();
      StateLock lock(s);
      if (s->waiters > 0) --s->waiters;
    }
  };
  for (;;) {
    for (size_t i = 0; i < n; ++i) {
      SyncArea* s = objects[i]->sync();
      bool pass = false;
      {
        StateLock lock(s);
        if (s->signalled) {
          if (!s->manual || reset) s->signalled = 0;
          pass = true;
        } else if (registered[i] && s->pulse_gen != gen[i] && s->pulse_tokens > 0) {
          if (!s->manual) --s->pulse_tokens;
          pass = true;
        }
        if (pass) {
          if (registered[i] && s->waiters > 0) --s->waiters;
          registered[i] = false;
        } else {
          if (!registered[i]) {
            registered[i] = true;
            gen[i] = s->pulse_gen;
            ++s->waiters;
          }
          seen[i] = s->seq;
        }
      }
      if (pass) {
        unregister();
        return kWaitObject0 + static_cast<uint32_t>(i);
      }
    }
    int64_t left = timeout_ms == kInfinite ? -1 : MsLeft(deadline);
    if (left == 0) {
      unregister();
      return kWaitTimeout;
    }
    if (n == 1) {
      timespec rel{};
      timespec* relp = nullptr;
      if (left > 0) {
        rel.tv_sec = left / 1000;
        rel.tv_nsec = (left % 1000) * 1000000L;
        relp = &rel;
      }
      ::syscall(SYS_futex, &objects[0]->sync()->seq, FUTEX_WAIT, seen[0], relp, nullptr, 0);
    } else {
      std::vector<futex_waitv> waits(n);
      for (size_t i = 0; i < n; ++i) {
        waits[i] = futex_waitv{};
        waits[i].val = seen[i];
        waits[i].uaddr = reinterpret_cast<uintptr_t>(&objects[i]->sync()->seq);
        waits[i].flags = FUTEX_32;
      }
      timespec abs = left < 0 ? AddMs(MonotonicNow(), 1000) : deadline;
      long rc = ::syscall(SYS_futex_waitv, waits.data(), static_cast<unsigned>(n), 0, &abs,
                          CLOCK_MONOTONIC);
      if (rc < 0 && errno == ENOSYS) {
        // Older kernels: watch the first object and look at all of them often.
        timespec rel{0, 2000000L};
        ::syscall(SYS_futex, &objects[0]->sync()->seq, FUTEX_WAIT, seen[0], &rel, nullptr, 0);
      }
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Event

Event::Event() = default;
Event::~Event() = default;
Event::Event(Event&&) noexcept = default;
Event& Event::operator=(Event&&) noexcept = default;

bool Event::Create(std::string_view name, bool manual_reset, bool initial_state) {
  Close();
  bool existed = false;
  auto init = [&](SyncArea* s) {
    s->manual = manual_reset ? 1 : 0;
    s->signalled = initial_state ? 1 : 0;
  };
  auto obj = KernelObject::Get(name, ObjectType::kEvent, true, 0, init, &existed);
  if (!obj) return false;
  object_ = std::move(obj);
  SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
  return true;
}

bool Event::Open(std::string_view name) {
  auto obj = CreateObject(name, ObjectType::kEvent, false, 0);
  if (!obj) return false;
  object_ = std::move(obj);
  return true;
}

void Event::Close() { object_.reset(); }

bool Event::Set() {
  if (!object_) return Fail(kErrorInvalidHandle);
  SyncArea* s = object_->sync();
  {
    StateLock lock(s);
    s->signalled = 1;
    ++s->seq;
  }
  FutexWakeAll(&s->seq);
  return true;
}

bool Event::Reset() {
  if (!object_) return Fail(kErrorInvalidHandle);
  SyncArea* s = object_->sync();
  StateLock lock(s);
  s->signalled = 0;
  return true;
}

bool Event::Pulse() {
  if (!object_) return Fail(kErrorInvalidHandle);
  SyncArea* s = object_->sync();
  {
    StateLock lock(s);
    s->signalled = 0;
    if (s->waiters > 0) {
      ++s->pulse_gen;
      s->pulse_tokens = s->manual ? UINT32_MAX : 1;
      ++s->seq;
    }
  }
  FutexWakeAll(&s->seq);
  return true;
}

uint32_t Event::Wait(uint32_t timeout_ms) {
  if (!object_) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  return WaitEvents({object_.get()}, timeout_ms, false);
}

uint32_t Event::WaitAndReset(uint32_t timeout_ms) {
  if (!object_) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  return WaitEvents({object_.get()}, timeout_ms, true);
}

uint32_t WaitForAnyEvent(const std::vector<Event*>& events, uint32_t timeout_ms) {
  std::vector<KernelObject*> objects;
  for (Event* e : events) {
    if (!e || !e->object_) {
      SetLastError(kErrorInvalidHandle);
      return kWaitFailed;
    }
    objects.push_back(e->object_.get());
  }
  if (objects.empty() || objects.size() > kMaxWaitObjects) {
    SetLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  return WaitEvents(objects, timeout_ms, false);
}

// ---------------------------------------------------------------------------
// Mutex

Mutex::Mutex() = default;
Mutex::~Mutex() { Close(); }
Mutex::Mutex(Mutex&&) noexcept = default;
Mutex& Mutex::operator=(Mutex&& other) noexcept {
  if (this != &other) {
    Close();
    object_ = std::move(other.object_);
  }
  return *this;
}

bool Mutex::Create(std::string_view name, bool initial_owner) {
  Close();
  bool existed = false;
  auto init = [&](SyncArea* s) {
    if (initial_owner && pthread_mutex_lock(&s->lock) == 0) {
      s->recursion = 1;
      s->owner_tid = ThreadId();
      s->owner_pid = static_cast<int32_t>(::getpid());
    }
  };
  auto obj = KernelObject::Get(name, ObjectType::kMutex, true, 0, init, &existed);
  if (!obj) return false;
  object_ = std::move(obj);
  SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
  return true;
}

bool Mutex::Open(std::string_view name) {
  auto obj = CreateObject(name, ObjectType::kMutex, false, 0);
  if (!obj) return false;
  Close();
  object_ = std::move(obj);
  return true;
}

void Mutex::Close() {
  if (!object_) return;
  // The owning thread's robust list points into the mapping; unmapping it
  // would break that thread, so the object lives on with the process.
  if (__atomic_load_n(&object_->sync()->owner_pid, __ATOMIC_ACQUIRE) == ::getpid()) object_->Leak();
  object_.reset();
}

uint32_t Mutex::Wait(uint32_t timeout_ms) {
  if (!object_) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  SyncArea* s = object_->sync();
  int rc;
  if (timeout_ms == kInfinite) {
    rc = pthread_mutex_lock(&s->lock);
  } else {
    timespec deadline = AddMs(MonotonicNow(), timeout_ms);
    rc = pthread_mutex_clocklock(&s->lock, CLOCK_MONOTONIC, &deadline);
  }
  uint32_t result = kWaitObject0;
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&s->lock);
    s->recursion = 0;
    result = kWaitAbandoned;
  } else if (rc == ETIMEDOUT) {
    return kWaitTimeout;
  } else if (rc != 0) {
    SetLastError(ErrorFromErrno(rc));
    return kWaitFailed;
  }
  if (s->recursion++ == 0) {
    __atomic_store_n(&s->owner_tid, ThreadId(), __ATOMIC_RELEASE);
    __atomic_store_n(&s->owner_pid, static_cast<int32_t>(::getpid()), __ATOMIC_RELEASE);
  }
  return result;
}

bool Mutex::Release() {
  if (!object_) return Fail(kErrorInvalidHandle);
  SyncArea* s = object_->sync();
  if (__atomic_load_n(&s->owner_pid, __ATOMIC_ACQUIRE) != ::getpid() ||
      __atomic_load_n(&s->owner_tid, __ATOMIC_ACQUIRE) != ThreadId()) {
    return Fail(kErrorNotOwner);
  }
  if (--s->recursion == 0) {
    __atomic_store_n(&s->owner_pid, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&s->owner_tid, 0, __ATOMIC_RELEASE);
  }
  if (pthread_mutex_unlock(&s->lock) != 0) return Fail(kErrorNotOwner);
  return true;
}

// ---------------------------------------------------------------------------
// SharedMemory

SharedMemory::SharedMemory() = default;
SharedMemory::~SharedMemory() = default;
SharedMemory::SharedMemory(SharedMemory&&) noexcept = default;
SharedMemory& SharedMemory::operator=(SharedMemory&&) noexcept = default;

bool SharedMemory::Create(std::string_view name, uint64_t size) {
  if (size == 0) return Fail(kErrorInvalidParameter);
  auto obj = CreateObject(name, ObjectType::kSharedMemory, true, size);
  if (!obj) return false;
  uint32_t err = GetLastError();
  object_ = std::move(obj);
  SetLastError(err);
  return true;
}

bool SharedMemory::Open(std::string_view name) {
  auto obj = CreateObject(name, ObjectType::kSharedMemory, false, 0);
  if (!obj) return false;
  object_ = std::move(obj);
  return true;
}

void SharedMemory::Close() { object_.reset(); }

void* SharedMemory::data() const { return object_ ? object_->data() : nullptr; }
uint64_t SharedMemory::size() const { return object_ ? object_->data_size() : 0; }

}  // namespace platform
