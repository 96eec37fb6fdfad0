"""kelvra_bci: a Bayesian multinomial softmax classifier for brain-computer interfaces."""

__version__ = "0.1.0"
