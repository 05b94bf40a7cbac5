// Thread names for stop diagnostics.
#include "common/thread_name.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace kz {
namespace {
thread_local std::string_view given_name;
}

std::string_view current_thread_name() noexcept {
    if (!given_name.empty()) return given_name;
    // The kernel gives the first thread the process id as its thread id.
    if (static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid()) return "main";
    return "<unnamed>";
}

void set_current_thread_name(std::string_view name) noexcept { given_name = name; }

}  // namespace kz
