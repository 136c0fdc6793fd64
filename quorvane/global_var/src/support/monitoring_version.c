/* The instrumentation version of the running interpreter on CPython 3.12,
 * where only the interpreter's internal headers expose it (3.13 publishes
 * it in the thread state).  Code whose own instrumentation version differs
 * from it has not yet been brought up to date with sys.monitoring. */
#include <patchlevel.h>

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#include "internal/pycore_interp.h"

unsigned long long qv_interpreter_monitoring_version(void)
{
    return (unsigned long long)PyInterpreterState_Get()->monitoring_version;
}
#else
/* Nothing is needed on other versions; keep the translation unit non-empty. */
typedef int qv_monitoring_version_unused;
#endif
