#include "platform/linux/capture_helper/remote_unwind_linux.h"

#include "platform/linux/capture/dump_memory_linux.h"

#include <libunwind-ptrace.h>
#include <map>

namespace platform::linux_impl
{
namespace
{

// The walk in progress. libunwind passes the ptrace accessors' own argument to every
// accessor, so ours find the registers and the stack copy here.
struct Walk {
    pid_t host = 0;
    const user_regs_struct *registers = nullptr;
    StackCopy stack;
};
Walk walk;

int accessMemory(unw_addr_space_t, unw_word_t address, unw_word_t *value, int write, void *)
{
    if (write)
        return -UNW_EINVAL;
    const StackCopy &stack = walk.stack;
    if (address >= stack.address && address - stack.address + sizeof *value <= stack.size) {
        __builtin_memcpy(value, stack.bytes + (address - stack.address), sizeof *value);
        return 0;
    }
    return ProcessMemory(walk.host).readExactly(address, value, sizeof *value) ? 0 : -UNW_EINVAL;
}

int accessRegister(unw_addr_space_t, unw_regnum_t number, unw_word_t *value, int write, void *)
{
    if (write)
        return -UNW_EREADONLYREG;
    const user_regs_struct &r = *walk.registers;
    const unsigned long long byNumber[] = {r.rax, r.rdx, r.rcx, r.rbx, r.rsi, r.rdi,
                                           r.rbp, r.rsp, r.r8,  r.r9,  r.r10, r.r11,
                                           r.r12, r.r13, r.r14, r.r15, r.rip};
    if (number < 0 || static_cast<std::size_t>(number) >= std::size(byNumber))
        return -UNW_EBADREG;
    *value = byNumber[number];
    return 0;
}

int accessFpRegister(unw_addr_space_t, unw_regnum_t, unw_fpreg_t *, int, void *)
{
    return -UNW_EBADREG;
}

int resume(unw_addr_space_t, unw_cursor_t *, void *)
{
    return -UNW_EINVAL;
}

int noProcedureName(unw_addr_space_t, unw_word_t, char *, std::size_t, unw_word_t *, void *)
{
    return -UNW_ENOINFO;
}

unw_addr_space_t addressSpace()
{
    static unw_accessors_t accessors = [] {
        unw_accessors_t ours = _UPT_accessors; // finds unwind tables in the host's ELF files
        ours.access_mem = &accessMemory;
        ours.access_reg = &accessRegister;
        ours.access_fpreg = &accessFpRegister;
        ours.resume = &resume;
        ours.get_proc_name = &noProcedureName;
        return ours;
    }();
    static const unw_addr_space_t space = [] {
        const unw_addr_space_t created = unw_create_addr_space(&accessors, 0);
        if (created)
            unw_set_caching_policy(created, UNW_CACHE_GLOBAL);
        return created;
    }();
    return space;
}

// The ptrace accessors' state per thread (it caches the ELF image last used), kept for the
// helper's life: a host samples the same GUI thread over and over.
void *ptraceState(pid_t tid)
{
    static std::map<pid_t, void *> states;
    void *&state = states[tid];
    if (!state)
        state = _UPT_create(tid);
    return state;
}

} // namespace

std::size_t walkStoppedStack(pid_t host, pid_t tid, const user_regs_struct &registers,
                             const StackCopy &stack, std::uint64_t *frames, std::size_t capacity)
{
    const unw_addr_space_t space = addressSpace();
    void *state = ptraceState(tid);
    if (!space || !state || capacity == 0)
        return 0;
    walk = Walk{host, &registers, stack};
    unw_cursor_t cursor;
    if (unw_init_remote(&cursor, space, state) < 0)
        return 0;
    std::size_t count = 0;
    do {
        unw_word_t pc = 0;
        if (unw_get_reg(&cursor, UNW_REG_IP, &pc) < 0 || pc == 0)
            break;
        frames[count++] = pc;
    } while (count < capacity && unw_step(&cursor) > 0);
    return count;
}

} // namespace platform::linux_impl
