"""Model families of kelvra_bci."""
