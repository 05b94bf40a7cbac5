// The name a thread shows in stop diagnostics.
#pragma once

#include <string_view>

namespace kz {

// "main" on the process's first thread, the name given with
// set_current_thread_name, or "<unnamed>".
std::string_view current_thread_name() noexcept;

// Names the calling thread for diagnostics; the text must outlive the thread.
void set_current_thread_name(std::string_view name) noexcept;

}  // namespace kz
