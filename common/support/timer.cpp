// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/timer.hpp"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

namespace {

void (*volatile timer_func_handler_pntr)(void) = nullptr;
struct itimerval timervalue;
struct sigaction new_handler;
struct sigaction old_handler;

void timer_sig_handler(int) {
    void (*callback)(void) = timer_func_handler_pntr;
    if (callback != nullptr) callback();
}

void setPeriod(int32_t milliseconds) {
    timervalue.it_interval.tv_sec = milliseconds / 1000;
    timervalue.it_interval.tv_usec = (milliseconds % 1000) * 1000;
    timervalue.it_value = timervalue.it_interval;
}

void disarm(void) {
    timervalue.it_interval.tv_sec = 0;
    timervalue.it_interval.tv_usec = 0;
    timervalue.it_value.tv_sec = 0;
    timervalue.it_value.tv_usec = 0;
    setitimer(ITIMER_REAL, &timervalue, nullptr);
}

// Throws away a SIGALRM that the timer raised while it was blocked, so that
// it cannot reach the previous action after a failed start.
void discardNewAlarm(const sigset_t *pendingBefore) {
    sigset_t pending;
    sigset_t alarmOnly;
    struct timespec noWait {};
    if (sigismember(pendingBefore, SIGALRM) || sigpending(&pending) == -1 ||
        !sigismember(&pending, SIGALRM))
        return;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    sigtimedwait(&alarmOnly, nullptr, &noWait);
}

// Arms the timer and installs the handler; SIGALRM is blocked meanwhile so
// that even a very short first period cannot meet the previous action.
int armAndInstall(void) {
    if (setitimer(ITIMER_REAL, &timervalue, nullptr) == -1) {
        printf("\nsetitimer() error\n");
        return 1;
    }
    new_handler.sa_handler = timer_sig_handler;
    sigemptyset(&new_handler.sa_mask);
    new_handler.sa_flags = SA_NODEFER;
    if (sigaction(SIGALRM, &new_handler, &old_handler) == -1) {
        printf("\nsigaction() error\n");
        disarm();
        return 1;
    }
    return 0;
}

}  // namespace

int start_timer(int32_t milliseconds, void (*handler)(void)) {
    // A period of zero would arm nothing and a negative one is meaningless.
    if (milliseconds <= 0) {
        printf("\nsetitimer() error\n");
        return 1;
    }
    sigset_t alarmOnly;
    sigset_t oldMask;
    sigset_t pendingBefore;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    sigemptyset(&pendingBefore);
    sigprocmask(SIG_BLOCK, &alarmOnly, &oldMask);
    sigpending(&pendingBefore);

    timer_func_handler_pntr = handler;
    setPeriod(milliseconds);
    int result = armAndInstall();
    if (result != 0) discardNewAlarm(&pendingBefore);

    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    return result;
}

int stop_timer(void) {
    disarm();
    return sigaction(SIGALRM, &old_handler, nullptr);
}
