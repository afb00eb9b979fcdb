#include "boundary/lock_taking.hpp"

#include "engine/portable.hpp"

namespace velmora {

#ifdef Py_GIL_DISABLED
namespace {

[[noreturn]] void park_forever() noexcept {
    portable::sleep_forever();
}

}  // namespace

void begin_critical_section_or_park(PyCriticalSection* section, PyObject* obj) noexcept {
    try {
        PyCriticalSection_Begin(section, obj);
    } catch (...) {
        park_forever();
    }
}

void lock_mutex_or_park(PyMutex* mutex) noexcept {
    try {
        PyMutex_Lock(mutex);
    } catch (...) {
        park_forever();
    }
}
#endif

}  // namespace velmora
