#include "platform/win32/dbghelp_win.h"

#include "platform/load_once.h"

namespace platform::win32_impl
{
namespace
{

// GetProcAddress gives every entry point one untyped type; this is the one place it is
// turned into the type the library documents for `name`.
template <typename Function>
void resolve(HMODULE module, const char *name, Function &function)
{
    function =
        reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

const Dbghelp *loadDbghelp()
{
    static Dbghelp dbghelp;
    static LoadOnce<Dbghelp> once;
    return once.get([]() -> const Dbghelp * {
        // The bare name lets the system's library search order pick the copy.
        const HMODULE module = LoadLibraryA("dbghelp.dll");
        if (!module)
            return nullptr;
        resolve(module, "MiniDumpWriteDump", dbghelp.miniDumpWriteDump);
        return &dbghelp;
    });
}

} // namespace platform::win32_impl
