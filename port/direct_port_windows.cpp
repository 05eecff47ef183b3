// The parallel port through port instructions. On the NT family they work
// only once the port-access driver has granted them; until then each one
// faults, which is caught here and turned into an unusable link instead of
// a crash.
#include <windows.h>

#include <cstdio>
#include <string>

#include "port/direct_port.h"

namespace {

constexpr unsigned char out_dx_al = 0xEE;
constexpr unsigned char in_al_dx = 0xEC;

// Set by the process's fault filter, which has no port object to reach.
volatile bool faulted = false;

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

DirectPort::DirectPort(std::uint16_t base) : base_(base) { SetUnhandledExceptionFilter(on_port_fault); }

void DirectPort::write_data(std::uint8_t lines) {
    asm volatile("outb %0, %w1" : : "a"(lines), "d"(base_) : "memory");
}

std::uint8_t DirectPort::read_status() {
    std::uint8_t value;
    asm volatile("inb %w1, %0" : "=a"(value) : "d"(static_cast<std::uint16_t>(base_ + 1)) : "memory");
    return value;
}

Outcome DirectPort::acquire() {
    char name[24];
    std::snprintf(name, sizeof name, "direct-%X", base_);
    return lock_.take(name);
}

bool DirectPort::release() {
    lock_.give_back();
    return true;
}

bool DirectPort::link_ok() { return !faulted; }
std::uint64_t DirectPort::now_ns() { return LineDriver::now_ns(); }
void DirectPort::pause_ns(std::uint64_t ns) { LineDriver::pause_ns(ns); }
