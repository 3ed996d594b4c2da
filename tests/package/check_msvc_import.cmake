cmake_minimum_required(VERSION 3.20)
# Proves the archive's vxbridge.lib for Visual Studio hosts: msvc_host.c,
# compiled in MSVC mode against the archive's header, takes the address of
# every expected export (listed in a header made here) and is linked with
# lld-link against the archive's vxbridge.lib; it must import every name,
# undecorated, from vxbridge.dll. It needs no C runtime: its few kernel32
# functions come from an import library made here too. The archive's DLL
# goes beside it, and the msvc_host test runs it against vxsim.
#   -DCLANG=... -DLLD_LINK=... -DDLLTOOL=<llvm-dlltool> -DROOT=<unpacked archive>
#   -DWORK=dir -DOBJDUMP=... -DEXPECTED=... -DVERSION=...
file(REMOVE_RECURSE ${WORK})
file(STRINGS ${EXPECTED} exports REGEX "^[0-9]")
list(TRANSFORM exports REPLACE "^[0-9]+ (.+)$" "sink = (AnyFunction)\\1")
string(JOIN ", " takes ${exports})
file(WRITE ${WORK}/every_export.h "#define TAKE_EVERY_EXPORT(sink) (${takes})\n")
file(WRITE ${WORK}/kernel32.def
     "LIBRARY kernel32.dll\nEXPORTS\nGetStdHandle@4\nWriteFile@20\nGetCommandLineA@0\nSleep@4\nExitProcess@4\n")
execute_process(COMMAND ${DLLTOOL} -m i386 -k -d ${WORK}/kernel32.def -l ${WORK}/kernel32.lib
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CLANG} --target=i686-pc-windows-msvc -ffreestanding -std=c11 -O2
                        -Wall -Wextra -Werror -I${ROOT}/include -I${WORK}
                        -c ${CMAKE_CURRENT_LIST_DIR}/msvc_host.c -o ${WORK}/host.obj
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${LLD_LINK} /nologo /entry:host_main /subsystem:console /nodefaultlib
                        /out:${WORK}/msvc_host.exe ${WORK}/host.obj ${ROOT}/lib/vxbridge.lib
                        ${WORK}/kernel32.lib
                COMMAND_ERROR_IS_FATAL ANY)
file(COPY ${ROOT}/bin/vxbridge.dll DESTINATION ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -DDLL=${ROOT}/bin/vxbridge.dll -DOBJDUMP=${OBJDUMP}
                        -DEXPECTED=${EXPECTED} -DVERSION=${VERSION}
                        -DHOST=${WORK}/msvc_host.exe -DHOST_IMPORTS_ALL=ON
                        -P ${CMAKE_CURRENT_LIST_DIR}/../exports/check_dll.cmake
                COMMAND_ERROR_IS_FATAL ANY)
