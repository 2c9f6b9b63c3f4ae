/* An integrator's host program in C: finds the installed module, loads it,
   asks for its description and checks one address. Exits non-zero on any
   surprise. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <xolest/xolest.h>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : NULL;
#ifdef XOLEST_MODULE_PATH
    if (path == NULL) {
        path = XOLEST_MODULE_PATH;
    }
#endif
    if (path == NULL) {
        fprintf(stderr, "usage: consumer MODULE\n");
        return 2;
    }
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    XolMainFunction xol_main = (XolMainFunction)dlsym(module, "XolMain");
    if (xol_main == NULL) {
        fprintf(stderr, "no XolMain\n");
        return 1;
    }
    DriverInfo info;
    memset(&info, 0, sizeof info);
    DriverRequest request;
    memset(&request, 0, sizeof request);
    request.function = FC_DESCRIBE_DRIVER;
    request.params = &info;
    if (xol_main(&request) != RC_DONE || info.contextSize != XOL_CONTEXT_SIZE ||
        strcmp(info.shortName, "EST") != 0 || strlen(info.banner) != 379) {
        fprintf(stderr, "unexpected description\n");
        return 1;
    }
    PointDefinition point;
    memset(&point, 0, sizeof point);
    point.text = "O031250";
    request.function = FC_CHECK_POINT;
    request.params = &point;
    if (xol_main(&request) != RC_DONE || point.kind != 'O' || point.number != 0x304E2) {
        fprintf(stderr, "unexpected check result\n");
        return 1;
    }
    printf("consumer: %s loaded, context %u bytes, O031250 -> kind %c number 0x%X\n", path,
           (unsigned)info.contextSize, (char)point.kind, (unsigned)point.number);
    dlclose(module);
    return 0;
}
