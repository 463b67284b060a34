#!/usr/bin/env python3
"""Rewrites the first sequence parameter set of an H.264 Annex B stream.

x264 never writes scaling matrices or picture order type 1 into its SPS, so the
SPS reader's tests derive such SPS from x264 output with this script; ffmpeg's
trace_headers bitstream filter then checks the result as an independent parser.

  rewrite_sps.py IN.h264 OUT.h264 scaling   # custom matrix in the SPS
  rewrite_sps.py IN.h264 OUT.h264 poc1      # picture order type 1, huge offsets
"""
import re
import sys


class Bits:
    def __init__(self, data):
        self.bits = ''.join(f'{b:08b}' for b in data)
        self.pos = 0

    def u(self, n):
        v = int(self.bits[self.pos:self.pos + n] or '0', 2)
        self.pos += n
        return v

    def ue(self):
        zeros = 0
        while self.bits[self.pos] == '0':
            zeros += 1
            self.pos += 1
        self.pos += 1
        return (1 << zeros) - 1 + self.u(zeros)

    def se(self):
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)


def u(v, n):
    return format(v, f'0{n}b') if n else ''


def ue(v):
    code = bin(v + 1)[2:]
    return '0' * (len(code) - 1) + code


def se(v):
    return ue(2 * v - 1 if v > 0 else -2 * v)


def unescape(nal):
    return re.sub(b'\x00\x00\x03', b'\x00\x00', nal)


def escape(rbsp):
    out = bytearray()
    zeros = 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def scaling_bits(lists):
    """Explicit deltas, default-matrix flag, early end, full 8x8, then absent."""
    out = ''
    for i in range(lists):
        if i == 0:  # 4x4 intra Y: the largest deltas, 8 and 136 in turn
            out += '1' + ''.join(se(-128) for j in range(16))
        elif i == 2:  # delta to 0 at the first entry: use the default matrix
            out += '1' + se(-8)
        elif i == 6:  # 8x8 intra Y: ten values then "repeat the last"
            deltas = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]
            last = 8 + sum(deltas)
            out += '1' + ''.join(se(d) for d in deltas) + se(-last)
        elif i == 7:  # 8x8 inter Y: all 64 entries
            out += '1' + ''.join(se(1 if j % 3 else -2) for j in range(64))
        else:
            out += '0'
    return out


def rewrite(rbsp, mode):
    r = Bits(rbsp)
    out = ''
    profile = r.u(8)
    out += u(profile, 8) + u(r.u(8), 8) + u(r.u(8), 8) + ue(r.ue())
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128):
        chroma = r.ue()
        lists = 12 if chroma == 3 else 8
        out += ue(chroma)
        if chroma == 3:
            out += u(r.u(1), 1)
        out += ue(r.ue()) + ue(r.ue()) + u(r.u(1), 1)
        if r.u(1):
            sys.exit('input already has a scaling matrix')
        out += '1' + scaling_bits(lists) if mode == 'scaling' else '0'
    elif mode == 'scaling':
        sys.exit('scaling matrices need a High profile input')
    out += ue(r.ue())  # log2_max_frame_num_minus4
    poc = r.ue()
    if poc == 0:
        lsb = r.ue()
    if mode == 'poc1':
        # Offsets of 2^22 and more: runs of over 22 zero bits before the size.
        out += ue(1) + '0' + se(-(1 << 22)) + se(1 << 23) + ue(2) + se(1 << 22) + se(-2)
    else:
        out += ue(poc) + (ue(lsb) if poc == 0 else '')
        if poc == 1:
            sys.exit('input already uses picture order type 1')
    out += r.bits[r.pos:].rstrip('0')  # rest of the SPS, stop bit included
    out += '0' * (-len(out) % 8)
    return bytes(int(out[i:i + 8], 2) for i in range(0, len(out), 8))


def main():
    src, dst, mode = sys.argv[1:4]
    data = open(src, 'rb').read()
    m = re.search(b'\x00\x00\x01([\x27\x47\x67])', data)
    start = m.start(1)
    end = data.find(b'\x00\x00\x01', start)
    while data[end - 1] == 0:
        end -= 1
    rbsp = unescape(data[start + 1:end])
    nal = data[start:start + 1] + escape(rewrite(rbsp, mode))
    open(dst, 'wb').write(data[:start] + nal + data[end:])
    print(', '.join(f'0x{b:02x}' for b in nal))


if __name__ == '__main__':
    main()
