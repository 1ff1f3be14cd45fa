/* Placeholder: the C interface is being written. */
#ifndef VELQOR_VELQOR_H
#define VELQOR_VELQOR_H
#endif
