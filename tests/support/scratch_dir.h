/*
 * scratch_dir.h - a fresh directory under /tmp for one test (or one
 * fixture), removed with everything in it when it goes out of scope.
 */
#ifndef TVRTEST_SCRATCH_DIR_H
#define TVRTEST_SCRATCH_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace tvrtest {

class ScratchDir {
public:
    /* `tag` names the directory (/tmp/TAG_XXXXXX) so a leftover says
     * which test made it.  path() is empty when it could not be made. */
    explicit ScratchDir(const std::string &tag = "tvrtest")
    {
        std::string tmpl = "/tmp/" + tag + "_XXXXXX";
        if (mkdtemp(tmpl.data()))
            path_ = tmpl;
    }
    ~ScratchDir() { remove(); }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    const char *c_str() const { return path_.c_str(); }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

    /* Leaves the directory in place when this goes out of scope (a
     * failed test keeps its files for a look). */
    void keep() { kept_ = true; }

    /* Empties the directory, keeping it. */
    void clear() const
    {
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(path_, ec))
            std::filesystem::remove_all(e.path(), ec);
    }

private:
    /* A test may have taken the owner's write bit off the directory to
     * provoke a failure; it is given back so the tree can go. */
    void remove() const
    {
        if (path_.empty() || kept_)
            return;
        std::error_code ec;
        namespace fs = std::filesystem;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }

    std::string path_;
    bool kept_ = false;
};

} // namespace tvrtest

#endif /* TVRTEST_SCRATCH_DIR_H */
