// Compiles the ASIO declarations in every build, so the layout checks of
// asio_types.h hold for the Windows compiler too, not only for the host's.
#include <type_traits>

#include "asio/asio_interface.h"

static_assert(std::is_abstract_v<IASIO> && std::is_base_of_v<IUnknown, IASIO>, "IASIO is an IUnknown interface");
static_assert(sizeof(IASIO) == sizeof(void *), "IASIO holds only its vtable pointer");
static_assert(!std::has_virtual_destructor_v<IASIO>, "a virtual destructor would shift the IASIO slots");
