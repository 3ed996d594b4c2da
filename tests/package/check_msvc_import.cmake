cmake_minimum_required(VERSION 3.20)
# Proves the archive's vxbridge.lib for Visual Studio hosts: a 32-bit host
# compiled in MSVC mode against the archive's header takes the address of
# every expected export and is linked with lld-link against the archive's
# vxbridge.lib; it must import every name, undecorated, from vxbridge.dll.
# It is never run and needs no C runtime: its entry point is host_main.
#   -DCLANG=... -DLLD_LINK=... -DROOT=<unpacked archive> -DWORK=dir
#   -DOBJDUMP=... -DEXPECTED=... -DVERSION=...
file(REMOVE_RECURSE ${WORK})
file(STRINGS ${EXPECTED} exports REGEX "^[0-9]")
list(TRANSFORM exports REPLACE "^[0-9]+ (.+)$" "VX(\\1)")
string(JOIN "\n  " takes ${exports})
file(WRITE ${WORK}/host.c "#include \"vxbridge.h\"\ntypedef void (*AnyFunction)(void);\n"
     "static volatile AnyFunction sink;\n#define VX(f) sink = (AnyFunction)f;\n"
     "int host_main(void) {\n  ${takes}\n  return 0;\n}\n")
execute_process(COMMAND ${CLANG} --target=i686-pc-windows-msvc -ffreestanding -std=c11
                        -Wall -Wextra -Werror -I${ROOT}/include -c ${WORK}/host.c -o ${WORK}/host.obj
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${LLD_LINK} /nologo /entry:host_main /subsystem:console /nodefaultlib
                        /out:${WORK}/host.exe ${WORK}/host.obj ${ROOT}/lib/vxbridge.lib
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -DDLL=${ROOT}/bin/vxbridge.dll -DOBJDUMP=${OBJDUMP}
                        -DEXPECTED=${EXPECTED} -DVERSION=${VERSION}
                        -DHOST=${WORK}/host.exe -DHOST_IMPORTS_ALL=ON
                        -P ${CMAKE_CURRENT_LIST_DIR}/../exports/check_dll.cmake
                COMMAND_ERROR_IS_FATAL ANY)
