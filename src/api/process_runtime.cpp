#include "api/process_runtime.h"

#include "platform/platform.h"

namespace orvane {

namespace {
// Built when the library is loaded. At unload it stops the link and the poll
// loop where the platform lets a destructor wait for threads; elsewhere the
// library stays loaded while they run (see pin_module), so reaching this
// destructor with threads alive means the process is exiting and they are
// gone: the instance is then left alone rather than joined.
class ProcessRuntime {
public:
    ProcessRuntime() : runtime_(new Runtime()) {}
    ~ProcessRuntime() {
        if (platform::unload_may_join_threads()) {
            delete runtime_;
        }
    }
    Runtime& get() { return *runtime_; }

private:
    Runtime* runtime_;
};

ProcessRuntime& instance() {
    static ProcessRuntime process_wide;
    return process_wide;
}

// Construct at load, not at the first call.
[[maybe_unused]] const bool constructed_at_load = (instance(), true);
}  // namespace

Runtime& process_runtime() {
    return instance().get();
}

}  // namespace orvane
