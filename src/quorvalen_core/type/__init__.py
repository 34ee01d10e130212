"""Base types of table models and their schemas."""
