"""Normalizes a synthetic image with two methods of the installed module.

Run with Debian's interpreter: /usr/bin/python3 examples/normalize.py
"""

import numpy as np

import imgnorm
from imgnorm import Method

rows, cols = np.indices((480, 640))
texture = ((rows // 20 + cols // 20) % 2) * 60 + 90
noise = np.random.default_rng(1).integers(-8, 9, size=texture.shape)
reference = np.clip(texture + noise, 0, 255).astype(np.uint8)
# The same scene with less gain and light falling off to the right.
image = np.clip(0.8 * reference + 40 - cols / 8, 0, 255).astype(np.uint8)

tool = imgnorm.Normalizer(neighborhood=(61, 61))
tool.train(reference, methods=Method.HISTOGRAM | Method.LOCAL)
for method in (Method.HISTOGRAM, Method.LOCAL):
    result = tool.run(image, method)
    error = np.abs(result.astype(int) - reference).mean()
    print(f"{method.name:<10} mean |result - reference|: {error:5.2f} "
          f"(before: {np.abs(image.astype(int) - reference).mean():5.2f})")
