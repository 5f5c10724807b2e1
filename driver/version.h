// The library's version, kept here only: the driver name and the version
// resource are both built from these numbers.
#ifndef QV_DRIVER_VERSION_H
#define QV_DRIVER_VERSION_H

#define QV_VERSION_MAJOR 1
#define QV_VERSION_MINOR 0
#define QV_VERSION_RELEASE 30
#define QV_VERSION_BUILD 174

#define QV_VERSION_STRINGIFY2(x) #x
#define QV_VERSION_STRINGIFY(x) QV_VERSION_STRINGIFY2(x)
#define QV_VERSION_TEXT                                                                                             \
  QV_VERSION_STRINGIFY(QV_VERSION_MAJOR)                                                                            \
  "." QV_VERSION_STRINGIFY(QV_VERSION_MINOR) "." QV_VERSION_STRINGIFY(QV_VERSION_RELEASE) "." QV_VERSION_STRINGIFY( \
      QV_VERSION_BUILD)

#define QV_LIBRARY_FILE_NAME "QV-731.dll"

#endif
