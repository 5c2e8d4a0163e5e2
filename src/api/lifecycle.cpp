// Start, stop and connection state.
#include <orvane/orvane.h>

#include "api/process_runtime.h"

ORVANE_API int Orvane_initial() {
    return orvane::guarded([&] { return orvane::process_runtime().initial(); });
}

ORVANE_API int Orvane_close() {
    return orvane::guarded([&] { return orvane::process_runtime().close(); });
}

ORVANE_API int Orvane_is_connect() {
    return orvane::guarded([&] { return orvane::process_runtime().is_connect(); });
}
