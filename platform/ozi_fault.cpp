/*
 * ozi_fault.cpp - fault injection for the host media platform.
 *
 * A small fixed table of rules {operation, calls to let pass, calls to
 * fail} and a call counter per operation.  Every platform operation whose
 * failure the daemon handles asks ozi_host_should_fail() first.
 *
 * THREADS: called from any thread; g_mutex guards the table.  No other
 * lock is taken while it is held.
 */
#include "ozi_host.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int kMaxRules = 128;
constexpr int kNameLen = 48;

struct Rule {
    char op[kNameLen];
    int skip;    /* calls still to let pass */
    int count;   /* calls still to fail */
    int calls;   /* calls seen */
};

std::mutex g_mutex;            /* guards g_rules, g_loaded */
Rule g_rules[kMaxRules];
bool g_loaded;

Rule *find_locked(const char *op, bool create)
{
    for (Rule &r : g_rules)
        if (r.op[0] && std::strcmp(r.op, op) == 0)
            return &r;
    if (!create)
        return nullptr;
    for (Rule &r : g_rules) {
        if (!r.op[0]) {
            std::strncpy(r.op, op, kNameLen - 1);
            r.op[kNameLen - 1] = '\0';
            r.skip = r.count = r.calls = 0;
            return &r;
        }
    }
    return nullptr;
}

/* Parses OZI_FAIL once, on first use: "op:N" or "op:@K/N", comma separated. */
void load_env_locked()
{
    if (g_loaded)
        return;
    g_loaded = true;
    const char *env = std::getenv("OZI_FAIL");
    if (!env)
        return;
    char buf[1024];
    std::strncpy(buf, env, sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    char *save = nullptr;
    for (char *tok = strtok_r(buf, ",", &save); tok; tok = strtok_r(nullptr, ",", &save)) {
        char *colon = std::strchr(tok, ':');
        if (!colon || colon == tok || std::strlen(tok) >= kNameLen + 16)
            continue;
        *colon = '\0';
        const char *num = colon + 1;
        int skip = 0;
        if (*num == '@') {
            skip = std::atoi(num + 1);
            const char *slash = std::strchr(num, '/');
            if (!slash)
                continue;
            num = slash + 1;
        }
        int count = std::atoi(num);
        if (count <= 0 || skip < 0 || std::strlen(tok) >= kNameLen)
            continue;
        if (Rule *r = find_locked(tok, true)) {
            r->skip = skip;
            r->count = count;
        }
    }
}

} // namespace

extern "C" int ozi_host_fail(const char *op, int skip, int count)
{
    if (!op || !*op || std::strlen(op) >= kNameLen || skip < 0 || count < 0)
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    load_env_locked();
    Rule *r = find_locked(op, true);
    if (!r)
        return -1;
    r->skip = skip;
    r->count = count;
    return 0;
}

extern "C" void ozi_host_clear_faults(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_loaded = true; /* an explicit clear also drops the environment's rules */
    std::memset(g_rules, 0, sizeof g_rules);
}

extern "C" int ozi_host_should_fail(const char *op)
{
    if (!op)
        return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    load_env_locked();
    Rule *r = find_locked(op, true);
    if (!r)
        return 0;
    r->calls++;
    if (r->count <= 0)
        return 0;
    if (r->skip > 0) {
        r->skip--;
        return 0;
    }
    r->count--;
    return 1;
}

extern "C" int ozi_host_call_count(const char *op)
{
    if (!op)
        return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    Rule *r = find_locked(op, false);
    return r ? r->calls : 0;
}
