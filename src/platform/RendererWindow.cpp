// Real windows live in a module of their own, loaded only when a display is
// wanted: the terminal interface then never maps the X, font and toolkit
// libraries, which would more than double its memory.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Renderer.h"

namespace {

constexpr const char* ModuleName = "tavix-ftp-window.so";
constexpr const char* EntryPoint = "TavixCreateWindowRenderer";

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string text(path, static_cast<std::size_t>(length));
    return text.substr(0, text.rfind('/'));
}

// Next to the program, or one folder up for the test programs; the
// environment may name it instead.
std::vector<std::string> ModuleCandidates() {
    std::vector<std::string> candidates;
    if (const char* named = std::getenv("TAVIX_FTP_WINDOW_MODULE")) candidates.emplace_back(named);
    std::string folder = ExecutableDirectory();
    candidates.push_back(folder + "/" + ModuleName);
    candidates.push_back(folder + "/../" + ModuleName);
    return candidates;
}

}  // namespace

std::unique_ptr<TRenderer> CreateWindowRenderer() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return nullptr;
    for (const std::string& path : ModuleCandidates()) {
        if (access(path.c_str(), R_OK) != 0) continue;
        // The module stays loaded for the rest of the process.
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto create = module ? reinterpret_cast<TRenderer* (*)()>(dlsym(module, EntryPoint)) : nullptr;
        if (!create) {
            std::fprintf(stderr, "tavix-ftp: cannot load %s: %s\n", path.c_str(), dlerror());
            return nullptr;
        }
        return std::unique_ptr<TRenderer>(create());
    }
    return nullptr;
}
