// Host-only: how the simulated host controller reaches a transfer buffer
// given by MDL. It goes through the MDL's page frame array, as a controller
// programs its DMA, so the MDL must be live (allocated, not yet freed) and
// describe its pages (MmBuildMdlForNonPagedPool or locked pages); an MDL that
// only carries a virtual address is a verifier stop, since on Windows the
// controller would transfer to whatever the empty page array names.
#pragma once

#include <wdm.h>

namespace platform {

// The system address of the MDL's first byte, reached through its page
// frames, for a transfer of `length` bytes; bug-checks (naming `who`) when
// the MDL is not live, describes no pages, or is shorter than `length`.
void* MdlBufferForDma(PMDL mdl, ULONG length, const char* who);

}  // namespace platform
