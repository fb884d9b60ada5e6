# The DLLs a Windows program imports, for the package checks (sourced).
# Windows' own libraries; anything else (a compiler's runtime) would have to ship along.
NR_SYSTEM_DLLS=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll
 oleaut32.dll setupapi.dll shell32.dll user32.dll version.dll winspool.drv "
# nr_imports OBJDUMP EXE: the program's DLLs, lower case, one a line.
nr_imports() { "$1" -p "$2" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u; }
# nr_foreign DLL...: those of them that are not Windows' own.
nr_foreign() {
    local d
    for d; do [[ "$NR_SYSTEM_DLLS" == *" $d "* ]] || printf '%s ' "$d"; done
}
