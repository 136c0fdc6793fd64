/* Interpreter state that some CPython versions describe only in their
 * internal (C-only) headers:
 *  - 3.8: whether the interpreter evaluates frames with its own evaluation
 *    function (3.9 and later answer through a public call);
 *  - 3.12: the interpreter's instrumentation version (3.13 publishes it in
 *    the thread state).  Code whose own instrumentation version differs from
 *    it has not yet been brought up to date with sys.monitoring. */
#include <patchlevel.h>

#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#include "internal/pycore_pystate.h"

int qv_interpreter_evaluates_frames_itself(void)
{
    return PyThreadState_Get()->interp->eval_frame == _PyEval_EvalFrameDefault;
}

#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#include "internal/pycore_interp.h"

unsigned long long qv_interpreter_monitoring_version(void)
{
    return (unsigned long long)PyInterpreterState_Get()->monitoring_version;
}

#else
/* Nothing is needed on other versions; keep the translation unit non-empty. */
typedef int qv_interpreter_state_unused;
#endif
