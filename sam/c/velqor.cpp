// Placeholder: the C interface is being written.
#include <velqor/velqor.h>
