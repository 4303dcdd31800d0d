// The resource checks of `backdrop check`, the parent's side: the pictures and packages are
// decoded in a wallpaper process that loads no library (ResourceSteps.cpp), so a hostile file
// can only take that sandboxed process down.

#include "CheckRunner.h"

namespace host::check {

void runResourceChecks(CheckRunner& r) {
    struct Check {
        const char* key;
        const char* title;
    } checks[] = {{"thumbnail", "thumbnail.png is a picture"},
                  {"pictures", "every picture decodes"},
                  {"packages", "every resource package reads and its records are pictures"},
                  {"sounds", "every sound (.wav) decodes"}};
    std::vector<std::string> titles;
    for (const Check& c : checks) titles.push_back(c.title);

    std::string error;
    std::unique_ptr<WallpaperProcess> p = r.spawn(false, false, &error);
    if (!p) return r.notChecked(titles, error);
    std::vector<std::string> lines;
    Deadline d(r.options().limit);
    bool ok = p->runStep("resources", d.left(), &lines, &error);
    r.collect(*p);
    if (!ok) {
        // The step in progress died with the process.
        std::string why = r.failure(*p, error);
        r.result(false, titles[0], why);
        r.notChecked(std::vector<std::string>(titles.begin() + 1, titles.end()),
                     why + " in an earlier check");
        return;
    }
    for (const Check& c : checks) {
        std::string prefix = std::string(c.key) + "=";
        std::string line;
        for (const std::string& l : lines)
            if (l.compare(0, prefix.size(), prefix) == 0) line = l.substr(prefix.size());
        bool pass = line.compare(0, 3, "ok ") == 0 || line == "ok";
        std::string text = line.size() > 3 ? line.substr(line.find(' ') + 1) : "";
        r.result(pass, c.title, line.empty() ? "no answer" : text);
    }
    for (const std::string& l : lines)
        if (l.compare(0, 5, "warn=") == 0) r.warn(l.substr(5));
}

}  // namespace host::check
