/* Driver annotations (IRQL, dispatch types): empty on the host build. The
   verifier checks the IRQL rules at run time instead. */
#ifndef USBAUDIO_PLATFORM_DRIVERSPECS_H
#define USBAUDIO_PLATFORM_DRIVERSPECS_H

#include <sal.h>

#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(kind, param)
#define _IRQL_restores_global_(kind, param)
#define _IRQL_always_function_max_(irql)
#define _IRQL_always_function_min_(irql)
#define _IRQL_uses_cancel_
#define _Dispatch_type_(type)
#define _Kernel_float_saved_
#define _Kernel_float_restored_
#define _Kernel_requires_resource_held_(kind)
#define _Kernel_clear_do_init_(yesNo)
#define _Must_inspect_result_
#define __drv_aliasesMem
#define __drv_allocatesMem(kind)
#define __drv_freesMem(kind)
#define __drv_dispatchType(type)
#define __drv_maxIRQL(irql)
#define __drv_minIRQL(irql)
#define __drv_requiresIRQL(irql)
#define __drv_raisesIRQL(irql)
#define __drv_savesIRQL
#define __drv_restoresIRQL
#define __drv_setsIRQL(irql)
#define __drv_when(cond, annos)
#define __drv_functionClass(name)
#define __drv_sameIRQL

#endif
