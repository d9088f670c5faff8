/* The naive double recursion as a C programmer writes it: machine integers,
   a direct call, nothing looked up, nothing guarded. c_peer.py compiles it
   with the host compiler at -O2 and calls it through ctypes.

   Every body entry still runs: gcc turns the second call into a loop and
   inlines a few levels into one another, but it neither finds a closed form
   nor remembers results. */
long fib(int n) { return n < 3 ? 1 : fib(n - 1) + fib(n - 2); }
