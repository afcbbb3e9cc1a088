"""Key texts and the RSA string ciphers exchanged with the client.

RSA with a 128-bit modulus. Integers travel least significant byte first.
A key text is "<modulus>#<exponent>", each written as upper-case hex pairs,
lowest byte first, without high zero bytes. Plain text is cut into pieces of
at most 5 bytes; each piece becomes a 16-byte block

    piece | 00 | random padding 1..253 up to byte 13 | 02 | 00

read as a little-endian integer m and encrypted as m^e mod n (16 bytes,
little-endian). The cipher text is the Base64 text of all blocks.

Run as a script it serves the cross-checks of the client's tests:
    ciphers.py batch REQUEST.json   -> JSON results on stdout
"""

import base64
import json
import secrets
import sys

BLOCK_SIZE = 16
PIECE_SIZE = 5
MODULUS_BYTES = 16
MAX_KEY_BYTES = 16
PRIME_ROUNDS = 20
HEX_DIGITS = "0123456789abcdefABCDEF"


class CipherError(Exception):
    """A cipher text or key that does not decode."""


# --- integers and key texts ------------------------------------------------

def int_to_le(value, length=None):
    """Little-endian bytes; without length, as many as the value needs."""
    if length is None:
        length = (value.bit_length() + 7) // 8
    return value.to_bytes(length, "little")


def le_to_int(data):
    return int.from_bytes(data, "little")


def hex_le(value):
    return int_to_le(value).hex().upper()


def trim_text(text):
    """Removes blanks and control characters at both ends."""
    controls = "".join(chr(code) for code in range(33))
    return text.strip(controls)


def split_param(text, separator, index):
    """Part number index (from 0) of the trimmed text cut at separator."""
    parts = trim_text(text).split(separator)
    return parts[index] if index < len(parts) else ""


def read_key_number(part):
    digits = [ch for ch in part if ch in HEX_DIGITS]
    data = bytearray()
    for pos in range(0, len(digits) - 1, 2):
        if len(data) == MAX_KEY_BYTES:
            break
        data.append(int(digits[pos] + digits[pos + 1], 16))
    return le_to_int(bytes(data))


def make_key_text(modulus, exponent):
    return hex_le(modulus) + "#" + hex_le(exponent)


def parse_key_text(text):
    """(modulus, exponent) of a key text."""
    return read_key_number(split_param(text, "#", 0)), read_key_number(split_param(text, "#", 1))


# --- key generation ---------------------------------------------------------

_SMALL_PRIMES = [p for p in range(3, 1000) if all(p % d for d in range(2, int(p ** 0.5) + 1))]


def is_probable_prime(n, rounds=PRIME_ROUNDS):
    if n < 2:
        return False
    if n in (2, 3):
        return True
    if n % 2 == 0:
        return False
    for p in _SMALL_PRIMES:
        if n == p:
            return True
        if n % p == 0:
            return False
    d, s = n - 1, 0
    while d % 2 == 0:
        d //= 2
        s += 1
    for _ in range(rounds):
        a = 2 + secrets.randbelow(n - 3)
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


def random_prime(bits):
    while True:
        candidate = secrets.randbits(bits) | (3 << (bits - 2)) | 1
        if is_probable_prime(candidate):
            return candidate


def generate_keys():
    """(public key text, private key text) of a fresh key pair."""
    while True:
        p = random_prime(64)
        q = random_prime(64)
        if p == q:
            continue
        n = p * q
        phi = (p - 1) * (q - 1)
        e = random_prime(17)
        try:
            d = pow(e, -1, phi)
        except ValueError:
            continue
        return make_key_text(n, e), make_key_text(n, d)


# --- string ciphers ---------------------------------------------------------

def _pieces(data, size):
    if not data:
        return [b""]
    return [data[pos:pos + size] for pos in range(0, len(data), size)]


def encrypt(plain, public_key_text):
    """Base64 cipher text of the bytes plain."""
    n, e = parse_key_text(public_key_text)
    out = bytearray()
    for piece in _pieces(bytes(plain), PIECE_SIZE):
        block = bytearray(piece)
        block.append(0)
        while len(block) < 14:
            block.append(1 + secrets.randbelow(253))
        block += b"\x02\x00"
        out += int_to_le(pow(le_to_int(block), e, n), BLOCK_SIZE)
    return base64.b64encode(bytes(out)).decode("ascii")


def _decode_block(block, n, d):
    data = int_to_le(pow(le_to_int(block), d, n))
    if len(data) < 11:
        raise CipherError("RSA decoding error: Block too small")
    if len(data) > 128:
        raise CipherError("RSA decoding error: Block too large")
    if data[-1] not in (1, 2):
        raise CipherError("RSA decoding error: Invalid block type")
    zero = data.rfind(b"\x00", 0, len(data) - 1)
    if zero < 0:
        raise CipherError("RSA decoding error: Invalid block format")
    return data[:zero]


def decrypt(cipher_text, private_key_text):
    """The plain bytes of a Base64 cipher text."""
    n, d = parse_key_text(private_key_text)
    cleaned = "".join(ch for ch in cipher_text if ch.isalnum() or ch in "+/")
    cleaned += "=" * (-len(cleaned) % 4)
    raw = base64.b64decode(cleaned) if cleaned else b""
    blocks = _pieces(raw, BLOCK_SIZE)
    out = bytearray()
    for index, block in enumerate(blocks):
        piece = _decode_block(block, n, d)
        if index < len(blocks) - 1:
            piece = piece[:PIECE_SIZE].ljust(PIECE_SIZE, b"\x00")
        out += piece
    return bytes(out)


def xor_bytes(data, key, position=0):
    """data combined with key laid along the whole stream from its start."""
    if not key:
        raise CipherError("empty key")
    return bytes(b ^ key[(position + i) % len(key)] for i, b in enumerate(data))


# --- command line for the cross-checks ------------------------------------

def _run_batch(requests):
    results = []
    for req in requests:
        op = req["op"]
        try:
            if op == "genkeys":
                public, private = generate_keys()
                results.append({"public": public, "private": private})
            elif op == "encrypt":
                results.append({"cipher": encrypt(bytes.fromhex(req["plain_hex"]), req["key"])})
            elif op == "decrypt":
                results.append({"plain_hex": decrypt(req["cipher"], req["key"]).hex()})
            elif op == "parse_key":
                n, e = parse_key_text(req["key"])
                results.append({"modulus": str(n), "exponent": str(e)})
            elif op == "make_key":
                results.append({"key": make_key_text(int(req["modulus"]), int(req["exponent"]))})
            else:
                results.append({"error": "unknown op " + op})
        except CipherError as err:
            results.append({"error": str(err)})
    return results


def main(argv):
    if len(argv) != 3 or argv[1] != "batch":
        sys.stderr.write("usage: ciphers.py batch REQUEST.json\n")
        return 2
    with open(argv[2], encoding="utf-8") as f:
        requests = json.load(f)
    json.dump(_run_batch(requests), sys.stdout)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
