"""Exact, fast image similarity: SSIM, MS-SSIM and PSNR for batches of images."""

from morvane.pixelwise.psnr import psnr, psnr_matrix
from morvane.structural.ssim import ms_ssim, ssim

__all__ = ["ms_ssim", "psnr", "psnr_matrix", "ssim"]
__version__ = "0.1.0"
