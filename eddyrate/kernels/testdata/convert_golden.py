#!/usr/bin/env python3
"""Turns the independently computed kernel reference values (JSON, bit patterns as hex)
into kernels_golden.txt, a plain text form the kernel tests read without a JSON parser.

Usage: convert_golden.py kernels.json > kernels_golden.txt

Each case is a header line followed by lines of 16-digit hex bit patterns:
  fft <m>       then the input, the real parts and the imaginary parts, one line each
  solve <N>     then y and the two coefficients x, one line each
(the design matrix of a solve case is A(i,1) = i/N for i = 1..N, A(i,2) = 1).
"""
import json
import sys

data = json.load(open(sys.argv[1]))
for case in data["fftTransform"]:
    print("fft", case["m"])
    for key in ("input_bits", "output_re_bits", "output_im_bits"):
        print(" ".join(case[key]))
for case in data["leastSquaresSolve"]:
    assert case["design"] == "A(i,1) = i/N for i = 1..N, A(i,2) = 1"
    print("solve", case["N"])
    print(" ".join(case["y_bits"]))
    print(" ".join(case["x_bits"]))
