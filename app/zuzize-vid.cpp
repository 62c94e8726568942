// zuzize-vid: the companion program the gateway keeps running.
//
// It does nothing but stay alive, so that the gateway's process watch finds
// it under a steady process id, and ends with status 0 on SIGTERM or SIGINT.
// Started by the shell as "zuzize-vid &", it inherits whatever signal mask
// and dispositions the gateway had; both signals are therefore handled and
// unblocked explicitly while it waits.
#include <csignal>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int)
{
    stop_requested = 1;
}

}  // namespace

int main()
{
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);

    // Keep both signals blocked outside sigsuspend, so one that arrives
    // between the flag test and the wait is delivered by the wait itself.
    sigset_t wait_mask;
    if (sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask) != 0)
        return 1;
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);

    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0)
        return 1;

    while (!stop_requested)
        sigsuspend(&wait_mask);
    return 0;
}
