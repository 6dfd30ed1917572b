// The program's entry: the build picks the variant.
#include "gui/shell.h"
#include "model/variant.h"

int main(int argc, char** argv) {
#ifdef KELVRA_RTD_ONLY
    const Variant& v = variant_rtd;
#else
    const Variant& v = variant_full;
#endif
    std::string file;
    int status = parse_command_line(v, argc, argv, file);
    return status >= 0 ? status : kelvra_run(v, file.c_str());
}
