# Cross-builds for 64-bit ARM (a Raspberry Pi with Debian 12) with Debian's
# multiarch packages: crossbuild-essential-arm64 and qt6-base-dev:arm64.
# Qt's arm64 package files are found in /usr/lib/aarch64-linux-gnu, where
# the cross compiler looks anyway; a CMAKE_FIND_ROOT_PATH there would hide
# the machine's own moc and uic, which the build runs. What the build makes
# runs under qemu-user: the tests through CTest, scripts through wrappers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Not with -L: that pairs the cross compiler's loader with the multiarch
# libc, and the program spins at full load forever.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
