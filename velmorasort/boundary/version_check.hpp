// The start-up check of the running interpreter's version.
#pragma once

namespace velmora {

// Issues a RuntimeWarning when the major.minor of `runtime_version` (a
// version string as Py_GetVersion gives it) differs from that of the headers
// the module was built with. 0, or -1 when the warning filter made it an error.
int check_runtime_version(const char* runtime_version);

}  // namespace velmora
