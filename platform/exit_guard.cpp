// The table of exit actions, shared by the POSIX and Windows handlers.
#include "platform/exit_guard.h"

#include <atomic>

namespace korva {

namespace {

struct Slot {
    std::atomic<ExitAction> action{nullptr};
    std::atomic<const void*> context{nullptr};
};

// Lock-free pointers: a handler may read them at any moment.
Slot g_slots[EXIT_SLOT_COUNT];

static_assert(std::atomic<ExitAction>::is_always_lock_free);
static_assert(std::atomic<const void*>::is_always_lock_free);

}  // namespace

int add_exit_action(ExitAction action, const void* context) {
    for (int i = 0; i < EXIT_SLOT_COUNT; ++i) {
        if (g_slots[i].action.load() != nullptr) continue;
        // The context first: a handler that sees the action sees its context.
        g_slots[i].context.store(context);
        g_slots[i].action.store(action);
        return i;
    }
    return NO_EXIT_SLOT;
}

void remove_exit_action(int slot) {
    if (slot < 0 || slot >= EXIT_SLOT_COUNT) return;
    g_slots[slot].action.store(nullptr);
    g_slots[slot].context.store(nullptr);
}

void run_exit_actions() {
    for (int i = EXIT_SLOT_COUNT - 1; i >= 0; --i) {
        const ExitAction action = g_slots[i].action.load();
        if (action != nullptr) action(g_slots[i].context.load());
    }
}

}  // namespace korva
