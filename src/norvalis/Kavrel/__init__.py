"""Linear-system solver front end (module `Kavrel`)."""
