// The program's entry: the build picks the variant.
#include "app.h"
#include "variant.h"

int main() {
#ifdef KELVRA_RTD_ONLY
    return kelvra_run(variant_rtd);
#else
    return kelvra_run(variant_full);
#endif
}
