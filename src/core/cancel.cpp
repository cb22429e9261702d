#include "core/cancel.hpp"

namespace brivel::cancel {

namespace {

// The watch of this thread, innermost first (each keeps the one it covers).
thread_local Watch* current = nullptr;

}  // namespace

bool Token::stopped(bool now) const noexcept {
    if (current) current->poll(now);
    return requested();
}

Watch::Watch(Token& token, Ask ask, void* context, std::chrono::milliseconds interval)
    : token_(token),
      ask_(ask),
      context_(context),
      interval_(interval),
      due_(std::chrono::steady_clock::now() + interval),
      previous_(current) {
    current = this;
}

Watch::~Watch() { current = previous_; }

void Watch::poll(bool now) noexcept {
    const auto t = std::chrono::steady_clock::now();
    if (!now && t < due_) return;
    due_ = t + interval_;
    if (ask_(context_)) token_.request();
}

}  // namespace brivel::cancel
