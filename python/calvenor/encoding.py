"""Content negotiation for gzip: does an Accept-Encoding value allow it?"""
from functools import lru_cache


def _quality(params: bytes) -> float:
    for param in params.split(b";"):
        key, _, value = param.partition(b"=")
        if key.strip().lower() == b"q":
            try:
                q = float(value.strip())
            except ValueError:
                return 0.0  # an unreadable weight refuses rather than guesses
            return q if 0.0 < q <= 1.0 else 0.0
    return 1.0


# Values longer than this are parsed every time: kept, a client's distinct megabyte-long
# values would each stay in memory.
_CACHED_LENGTH = 256


def accepts_gzip(accept_encoding: bytes) -> bool:
    if len(accept_encoding) <= _CACHED_LENGTH:
        return _accepts_gzip_cached(accept_encoding)
    return _accepts_gzip(accept_encoding)


def _accepts_gzip(accept_encoding: bytes) -> bool:
    gzip_q = star_q = None
    for item in accept_encoding.split(b","):
        coding, _, params = item.partition(b";")
        coding = coding.strip().lower()
        if coding in (b"gzip", b"x-gzip"):
            gzip_q = max(gzip_q or 0.0, _quality(params))
        elif coding == b"*":
            star_q = _quality(params)
    if gzip_q is not None:  # an explicit gzip entry overrides "*"
        return gzip_q > 0.0
    return star_q is not None and star_q > 0.0


# Clients send the same few values again and again; parse each once.
_accepts_gzip_cached = lru_cache(maxsize=256)(_accepts_gzip)
