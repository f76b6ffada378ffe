# Every third-party library comes from Debian's packages (scripts/install-deps).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
# Header-only; its config only names /usr/include, but finding it fails early when missing.
find_package(RapidJSON 1.1 REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(CURL REQUIRED)
pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0)

if(NIMBRA_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # The HTTPS test server of the updater's tests.
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
if(NIMBRA_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
if(NIMBRA_BUILD_APP)
  # The window: GTK 4, WebKitGTK 6.0, and libqrencode + cairo + pango for the QR picture.
  pkg_check_modules(WEBKIT REQUIRED IMPORTED_TARGET webkitgtk-6.0)
  pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
  pkg_check_modules(PANGOCAIRO REQUIRED IMPORTED_TARGET pangocairo cairo)
endif()
