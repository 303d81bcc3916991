/* Coverage builds only: every program and library is linked with --wrap=_exit, so that a process
 * that ends through _exit (a forked child: a test dropped to nobody or in its own mount namespace,
 * a library child before it runs its work) first writes its line counts. gcov writes them from an
 * exit handler, which _exit skips; without this, the lines such children run count as never run. */
extern void __gcov_dump(void);
extern void __real__exit(int code) __attribute__((noreturn));

__attribute__((visibility("hidden"), noreturn)) void __wrap__exit(int code)
{
    __gcov_dump();
    __real__exit(code);
}
