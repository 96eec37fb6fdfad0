"""Command-line options every benchmark shares: JAX's precision and compile cache."""

import jax


def add_jax_options(parser):
    parser.add_argument("--x64", action="store_true", help="turn on JAX's 64-bit mode")
    parser.add_argument(
        "--compile-cache",
        metavar="DIR",
        help="JAX's persistent compilation cache: each fit or update compiles its loops "
        "afresh, and with a cache later calls reuse the compiled code",
    )


def configure_jax(args):
    jax.config.update("jax_enable_x64", args.x64)
    if args.compile_cache:
        from kelvra_bci.models.kelvra_softmax import engine

        engine.enable_persistent_cache(args.compile_cache)


def describe(args):
    cache = f" compile-cache={args.compile_cache}" if args.compile_cache else ""
    return f"backend={jax.default_backend()} x64={args.x64}{cache}"
