// Thread names for stop diagnostics.
#include "common/thread_name.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace kz {

std::string_view current_thread_name() noexcept {
    // The kernel gives the first thread the process id as its thread id.
    if (static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid()) return "main";
    return "<unnamed>";
}

}  // namespace kz
