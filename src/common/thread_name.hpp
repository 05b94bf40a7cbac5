// The name a thread shows in stop diagnostics.
#pragma once

#include <string_view>

namespace kz {

// "main" on the process's first thread, "<unnamed>" on any other.
std::string_view current_thread_name() noexcept;

}  // namespace kz
