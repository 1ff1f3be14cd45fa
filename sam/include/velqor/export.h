/* velqor: the one export macro of the shared library, used by the C and the C++ interface.
 * The library is built with hidden visibility; only what is marked VELQOR_EXPORT is exported. */
#ifndef VELQOR_EXPORT_H
#define VELQOR_EXPORT_H

#ifndef VELQOR_EXPORT
#define VELQOR_EXPORT __attribute__((visibility("default")))
#endif

#endif /* VELQOR_EXPORT_H */
