// Stopping a long native job early (Ctrl-C, or the pool it works for giving up). Plain C++:
// whoever waits for the job requests the stop from any thread; the job's loops ask at their
// check points (every block read, every few hundred directory entries) and end with
// ECANCELED or an incomplete result that the caller throws away.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>

namespace brivel::cancel {

// What a job that stopped on request returns where it would return an errno.
inline constexpr int kCancelled = ECANCELED;

class Watch;

class Token {
  public:
    // A token also counts as stopped once `parent` is: a job started for a larger one (a
    // task of a pool) stops with it.
    explicit Token(std::shared_ptr<const Token> parent = nullptr) : parent_(std::move(parent)) {}
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    void request() noexcept { flag_.store(true, std::memory_order_relaxed); }
    // The stop was requested, of this token or of a parent.
    bool requested() const noexcept {
        for (const Token* t = this; t; t = t->parent_.get())
            if (t->flag_.load(std::memory_order_relaxed)) return true;
        return false;
    }
    // A loop's check point: the watch of the calling thread, if it has one, gets its turn
    // when due (`now`: at once, after a signal broke off a system call), then requested().
    bool stopped(bool now = false) const noexcept;

  private:
    std::atomic<bool> flag_{false};
    std::shared_ptr<const Token> parent_;
};

// A check run by the check points of one thread while the watch exists: every `interval`
// (or at once when a check point asks), `ask(context)`; when it answers true, `token`'s stop
// is requested. It lets the thread that runs a job look at something only it can see (the
// interpreter's pending signals) without a thread of its own.
class Watch {
  public:
    using Ask = bool (*)(void* context);
    Watch(Token& token, Ask ask, void* context, std::chrono::milliseconds interval);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    void poll(bool now) noexcept;

  private:
    Token& token_;
    Ask ask_;
    void* context_;
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point due_;
    Watch* previous_;
};

}  // namespace brivel::cancel
