cmake_minimum_required(VERSION 3.20)
# Proves the archive's vxbridge.lib for Visual Studio hosts: a 32-bit host
# compiled in MSVC mode against the archive's header calls every export and
# is linked with lld-link against the archive's vxbridge.lib; it must import
# every name, undecorated, from vxbridge.dll, as the DLL exports them.
#   -DCLANG=... -DLLD_LINK=... -DROOT=<unpacked archive> -DSOURCE=msvc_host.c
#   -DWORK=dir -DOBJDUMP=... -DEXPECTED=... -DVERSION=...
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CLANG} --target=i686-pc-windows-msvc -ffreestanding -std=c11
                        -Wall -Wextra -Werror -I${ROOT}/include -c ${SOURCE} -o ${WORK}/host.obj
                COMMAND_ERROR_IS_FATAL ANY)
# No C runtime: the entry point is the host's own, and nothing else is needed.
execute_process(COMMAND ${LLD_LINK} /nologo /entry:host_main /subsystem:console /nodefaultlib
                        /out:${WORK}/host.exe ${WORK}/host.obj ${ROOT}/lib/vxbridge.lib
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -DDLL=${ROOT}/bin/vxbridge.dll -DOBJDUMP=${OBJDUMP}
                        -DEXPECTED=${EXPECTED} -DVERSION=${VERSION}
                        -DHOST=${WORK}/host.exe -DHOST_IMPORTS_ALL=ON
                        -P ${CMAKE_CURRENT_LIST_DIR}/../exports/check_dll.cmake
                COMMAND_ERROR_IS_FATAL ANY)
