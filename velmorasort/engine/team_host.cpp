#include "engine/team_host.hpp"

#include "engine/portable.hpp"   // windows.h, where it applies
#include "engine/team_limits.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#endif

namespace velmora::engine {
namespace {

// Sizes the team on the thread that starts it, runs the job, and records the
// pool the runtime keeps for that thread and the team that ran.
void size_and_run(TeamKind kind, int team, TeamJob job, void* context) noexcept {
    const int size = team > 1 ? startable_team(team) : 1;
    job(context, size);
    if (size > 1) {
        note_team_started(size);
        record_team(kind, size);
    }
}

#if !defined(_WIN32)
// A host runs its share of every team, the calling thread's share as it was
// before, with the sort's recursion: the stack a main thread gets by default.
constexpr std::size_t kHostStack = std::size_t{8} << 20;

// One calling thread's host: a thread that waits for that caller's jobs and
// runs them one at a time. Only its caller hands it jobs.
class TeamHost {
  public:
    // Makes the thread; false when the system cannot.
    bool start() noexcept {
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) return false;
        pthread_attr_setstacksize(&attr, kHostStack);
        // Born with every signal blocked, and so are the runtime's threads it
        // starts: signals go to the interpreter's threads, which handle them.
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &before);
        const bool made = pthread_create(&thread_, &attr, &TeamHost::main, this) == 0;
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        pthread_attr_destroy(&attr);
        if (!made) return false;
        // The host says whether it could take its first steps.
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return started_ != 0; });
        if (started_ > 0) return true;
        lock.unlock();
        pthread_join(thread_, nullptr);
        return false;
    }

    // Hands the host a job; the caller waits for it with wait() before it
    // hands over the next one.
    void start(TeamKind kind, int team, TeamJob job, void* context) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        kind_ = kind;
        team_ = team;
        job_ = job;
        context_ = context;
        busy_ = true;
        wake_.notify_one();
    }

    void wait() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return !busy_; });
    }

    // Ends the thread and waits for it.
    void stop() noexcept {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
            wake_.notify_one();
        }
        pthread_join(thread_, nullptr);
    }

    // The process that made the thread: in a forked child it does not exist.
    pid_t owner() const noexcept { return owner_; }

  private:
    static void* main(void* self) noexcept {
        TeamHost& host = *static_cast<TeamHost*>(self);
        const bool fits = thread_start_fits();
        {
            const std::lock_guard<std::mutex> lock(host.mutex_);
            host.started_ = fits ? 1 : -1;
        }
        host.done_.notify_one();
        if (fits) host.serve();
        return nullptr;
    }

    void serve() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return busy_ || quit_; });
            if (quit_) return;
            lock.unlock();
            size_and_run(kind_, team_, job_, context_);
            lock.lock();
            busy_ = false;
            done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    pthread_t thread_{};
    const pid_t owner_ = getpid();
    TeamKind kind_ = TeamKind::split;
    int team_ = 1;
    TeamJob job_ = nullptr;
    void* context_ = nullptr;
    bool busy_ = false;
    bool quit_ = false;
    int started_ = 0;   // 1 once the thread has taken its first steps, -1 where it could not
};

// The calling thread's host, made on its first team and ended with the thread.
// A forked child inherits the forking thread's slot, naming a thread that is
// not there: that host is abandoned (its memory and lock may be in any state)
// and a new one made.
struct HostSlot {
    TeamHost* host = nullptr;

    ~HostSlot() {
        if (host != nullptr && host->owner() == getpid()) {
            host->stop();
            delete host;
        }
    }

    // This process's host for the calling thread, or null where none can be
    // made.
    TeamHost* get() noexcept {
        if (host != nullptr && host->owner() != getpid()) host = nullptr;
        if (host == nullptr) {
            TeamHost* made = new (std::nothrow) TeamHost;
            if (made == nullptr) return nullptr;
            if (!made->start()) {
                delete made;
                return nullptr;
            }
            host = made;
        }
        return host;
    }
};

thread_local HostSlot slot;
#endif

}  // namespace

bool start_team(TeamKind kind, int team, TeamJob job, void* context, bool alone_too) noexcept {
#if defined(_WIN32)
    (void)alone_too;
    size_and_run(kind, team, job, context);
    return false;
#else
    if (team < 2 && !alone_too) {
        job(context, 1);   // nothing to start: no need for the host
        return false;
    }
    TeamHost* const host = slot.get();
    if (host == nullptr) {
        job(context, 1);   // the calling thread's own pool may be a dead one
        return false;
    }
    host->start(kind, team, job, context);
    return true;
#endif
}

void wait_for_team() noexcept {
#if !defined(_WIN32)
    slot.host->wait();
#endif
}

void run_team(TeamKind kind, int team, TeamJob job, void* context) noexcept {
    if (start_team(kind, team, job, context)) wait_for_team();
}

}  // namespace velmora::engine
