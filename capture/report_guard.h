#pragma once

// One crash report at a time. AcquireReport waits while another thread owns the report (for ever,
// if that owner was a crash: the process ends when its dialog closes). It returns false without
// waiting when the calling thread owns the report already: a fault or TestSendDlg raised from a
// message dispatched by the open dialog's own loop cannot wait for itself, and must not overwrite
// the summary on screen either.
bool AcquireReport();
void ReleaseReport();
// Lets the thread with threadId act as the owner of the report the calling thread owns: a thread
// that runs the report on the owner's behalf, while the owner waits for it, must not wait for the
// owner when it faults in turn. The lock itself stays the owner's; lend it back to the owner
// before it releases.
void LendReport(unsigned long threadId);
// True when a thread other than the caller owns the report: AcquireReport would wait.
bool ReportOwnedElsewhere();
