// The parallel port through port instructions. On the NT family they work
// only once the port-access driver has granted them; until then each one
// faults, which is caught here and turned into an unusable link instead of
// a crash.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/file_lock.h"
#include "port/bit_loops.h"
#include "port/backends.h"
#include "port/port.h"
#include "port/wiring.h"

namespace {

constexpr unsigned char out_dx_al = 0xEE;
constexpr unsigned char in_al_dx = 0xEC;

std::uint16_t base_port = wiring::default_base;
volatile bool faulted = false;
// Keeps a second run of the program off the port while this one has it.
PortLock port_lock;

Outcome acquire() {
    char name[24];
    std::snprintf(name, sizeof name, "direct-%X", base_port);
    return port_lock.take(name);
}

struct DirectAccess {
    static void write_data(std::uint8_t value) {
        asm volatile("outb %0, %w1" : : "a"(value), "d"(base_port) : "memory");
    }
    static std::uint8_t read_status() {
        std::uint8_t value;
        asm volatile("inb %w1, %0" : "=a"(value) : "d"(static_cast<std::uint16_t>(base_port + 1)) : "memory");
        return value;
    }
};

// A refused port instruction (both forms are one byte long) is stepped
// over, an input reading all ones, and the link marked unusable.
LONG WINAPI on_port_fault(EXCEPTION_POINTERS* fault) {
    const DWORD code = fault->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_PRIV_INSTRUCTION && code != EXCEPTION_ACCESS_VIOLATION &&
        code != EXCEPTION_ILLEGAL_INSTRUCTION)
        return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT* context = fault->ContextRecord;
#ifdef _WIN64
    auto& ip = context->Rip;
    auto& ax = context->Rax;
#else
    auto& ip = context->Eip;
    auto& ax = context->Eax;
#endif
    const unsigned char opcode = *reinterpret_cast<const unsigned char*>(ip);
    if (opcode != out_dx_al && opcode != in_al_dx) return EXCEPTION_CONTINUE_SEARCH;
    if (opcode == in_al_dx) ax |= 0xFF;
    ip += 1;
    faulted = true;
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void direct_port_select(std::uint16_t base) {
    base_port = base;
    SetUnhandledExceptionFilter(on_port_fault);
    port_select({
        .ops = bit_loops::ops_for<DirectAccess>(),
        .acquire = acquire,
        .release = [] {
            port_lock.give_back();
            return true;
        },
        .link_ok = [] { return !faulted; },
        .needs_io_privilege = true,
    });
}
