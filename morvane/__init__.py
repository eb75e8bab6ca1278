"""Exact, fast image similarity: SSIM, MS-SSIM and PSNR for batches of images."""

__version__ = "0.1.0"
