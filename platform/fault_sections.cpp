// The critical sections held inside fault guards, for both platforms.
#include "platform/fault_frame.h"
#include "platform/fault_guard.h"

void fault_section_enter(crit_section* cs) {
    crit_enter(cs);
    fault_frame* f = fault_frame_current();
    if (!f) return;
    if (f->held < kFaultSectionsMax) f->sections[f->held] = cs;
    ++f->held;
}

void fault_section_leave(crit_section* cs) {
    fault_frame* f = fault_frame_current();
    if (f && f->held > 0) {
        // Scopes leave the newest first; a section entered before this
        // guard began is not in its record.
        int i = f->held - 1;
        if (i < kFaultSectionsMax)
            while (i >= 0 && f->sections[i] != cs) --i;
        if (i >= 0) {
            for (; i + 1 < f->held && i + 1 < kFaultSectionsMax; ++i) f->sections[i] = f->sections[i + 1];
            --f->held;
        }
    }
    crit_leave(cs);
}

void fault_frame_begin(fault_frame* frame) {
    frame->outer = fault_frame_current();
    frame->held = 0;
    fault_frame_set(frame);
}

void fault_frame_end(fault_frame* frame, bool faulted) {
    fault_frame_set(frame->outer);
    if (!faulted) return;
    const int noted = frame->held < kFaultSectionsMax ? frame->held : kFaultSectionsMax;
    for (int i = noted - 1; i >= 0; --i) crit_leave(frame->sections[i]);
}
