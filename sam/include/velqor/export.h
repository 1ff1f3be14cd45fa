/** \file
 * velqor: the one export macro of the shared library, used by the C and the C++ interface.
 * The library is built with hidden visibility; only what is marked VELQOR_EXPORT is exported. */
#ifndef VELQOR_EXPORT_H
#define VELQOR_EXPORT_H

#ifndef VELQOR_EXPORT
#define VELQOR_EXPORT __attribute__((visibility("default")))
#endif

/** Marks the members of an exported class that only the library itself calls (protected
 * constructors, private helpers), so that they stay out of the shared library's symbols. */
#ifndef VELQOR_HIDDEN
#define VELQOR_HIDDEN __attribute__((visibility("hidden")))
#endif

#endif /* VELQOR_EXPORT_H */
